#include "server/ClientSession.h"

#include <utility>

#include "tovali/Network/tcp_stream.h"
#include "tovali/log/log_handle.h"
#include "tovali/log/logger.h"
#include "tovali/util/clock.h"
#include "wire/DetectProtocol.h"
#include "wire/GradeProtocol.h"

namespace palvexd {

ClientSession::ClientSession(SessionHost& host, const ServerConfig& config, event_base* loop,
                             std::unique_ptr<tovali::TcpStream> stream)
    : host_(host),
      config_(config),
      stream_(std::move(stream)),
      reader_(config.max_request, palvex::IsRequestVersion) {
  stream_->on_data = [this](const char* data, size_t len) { return OnData(data, len); };
  stream_->on_error = [this](int code) { OnError(code); };
  deadline_.Init(loop, [this] { OnDeadline(); });
}

ClientSession::~ClientSession() {
  if (stage_ != Stage::kEnded)
    host_.ReleaseConnection(stream_->RemoteIp());
}

void ClientSession::Start() {
  deadline_.Start(config_.read_timeout_ms);
}

void ClientSession::Shutdown() {
  if (stage_ == Stage::kEnded)
    return;
  if (stage_ == Stage::kReading)
    host_.CountReject(Reject::kShutdown);
  Close();
}

int ClientSession::OnData(const char* data, size_t len) {
  if (stage_ == Stage::kEnded)
    return -1;
  if (stage_ == Stage::kHolding) {
    // The request is answered and a device sends nothing more: one that does is closed rather
    // than read for the whole hold time.
    End();
    return -1;
  }
  size_t used = 0;
  switch (reader_.Feed(data, len, &used)) {
    case palvex::FrameReader::kNeedMore:
      return 0;
    case palvex::FrameReader::kBadVersion:
      Refuse(Reject::kBadVersion);
      return -1;
    case palvex::FrameReader::kTooLarge:
      Refuse(Reject::kTooLarge);
      return -1;
    case palvex::FrameReader::kComplete:
      OnRequest();
      return stage_ == Stage::kEnded ? -1 : 0;
  }
  return 0;
}

void ClientSession::OnError(int) {
  if (stage_ == Stage::kHolding)
    End();  // the device closed after its answer: the normal end
  else
    Refuse(Reject::kIncomplete);
}

void ClientSession::OnDeadline() {
  if (stage_ == Stage::kHolding)
    End();
  else
    Refuse(Reject::kReadTimeout);
}

void ClientSession::OnRequest() {
  const uint16_t version = reader_.version();
  if (version == palvex::kGradeVersion) {
    OnGradeRequest();
    return;
  }
  // The dial-back slot is taken before anything is promised to the device.
  if (version == palvex::kDetectVersion && !host_.TakeDialbackSlot()) {
    Refuse(Reject::kDialbacks);
    return;
  }
  const bool ipv4 = stream_->ipv4;
  const std::string& source_ip = stream_->RemoteIp();
  const uint16_t source_port = stream_->RemotePort();
  DetectRecord record;
  record.peer = palvex::FormatAddress(source_ip, !ipv4, source_port);
  record.local = stream_->LocalIp();
  record.version = version;
  record.identity = SanitizeIdentity(reader_.payload());
  record.location = host_.Locate(source_ip);
  const Location& l = record.location;
  host_.CountRequest(version, l.isp);
  int sent = stream_->Send(palvex::WriteDetectReply(
      palvex::DetectReply{record.peer, l.country, l.province, l.city, l.isp}));
  stage_ = Stage::kHolding;
  deadline_.Start(config_.hold_timeout_ms);

  if (version == palvex::kDetectVersion) {
    host_.StartDialback(std::move(record), source_ip, source_port, ipv4);
  } else {
    record.time = tovali::RealTimeSeconds();
    record.dialback = DialbackOutcome::kSkipped;
    host_.WriteRecord(record);
  }
  if (sent != tovali::TcpStream::Ok) {
    HLOG_INFO(host_.log(), "reply to %s not sent: %d",
              palvex::FormatAddress(source_ip, !ipv4, source_port).c_str(), sent);
    End();
  }
}

void ClientSession::OnGradeRequest() {
  palvex::GradeRequest request;
  if (!palvex::ReadGradeRequest(reader_.payload(), &request)) {
    Refuse(Reject::kMalformed);
    return;
  }
  const bool ipv4 = stream_->ipv4;
  const std::string& source_ip = stream_->RemoteIp();
  const uint16_t source_port = stream_->RemotePort();
  const std::string local_ip = stream_->LocalIp();
  const uint16_t local_port = stream_->LocalPort();
  const std::string& other = ipv4 ? config_.other_v4 : config_.other_v6;

  Grading grading;
  DetectRecord& record = grading.record;
  record.peer = palvex::FormatAddress(source_ip, !ipv4, source_port);
  record.local = local_ip;
  record.version = palvex::kGradeVersion;
  record.identity = SanitizeIdentity(request.identity);
  record.location = host_.Locate(source_ip);
  record.grade.test = request.mapping_only ? "mapping" : "grade";
  record.grade.nonce = request.nonce;

  palvex::GradeMessage reply;
  reply.nonce = request.nonce;
  const Location& l = record.location;
  reply.reply = palvex::DetectReply{record.peer, l.country, l.province, l.city, l.isp};
  reply.other_address = AdvertisedOther(config_, ipv4);
  reply.other_port = config_.other_port;

  if (request.mapping_only) {
    host_.CountGradingRequest(true, l.isp);
    MappingSlot slot = kMappedPrimary;
    if (config_.other_port != 0 && local_port == config_.other_port)
      slot = kMappedOtherPort;
    else if (!other.empty() && local_ip == other)
      slot = kMappedOtherAddress;
    host_.AddMapping(request.nonce, slot, record.peer, request.local);
    record.time = tovali::RealTimeSeconds();
    host_.WriteRecord(record);
  } else {
    // The other address tests filtering only when the device has not contacted it: the grading
    // request itself must have come to another address.
    grading.started[kFromOtherAddress] = !other.empty() && local_ip != other;
    grading.started[kFromOtherPort] = true;
    grading.device_local[kMappedPrimary] = request.local;
    grading.other_address = !reply.other_address.empty();
    grading.mappings_expected = grading.other_address ? 2 : (config_.other_port != 0 ? 1 : 0);
    grading.replied_ms = tovali::MonotonicMs();
    record.grade.mapped[kMappedPrimary] = record.peer;
    reply.tests_other_address = grading.started[kFromOtherAddress];
    reply.tests_other_port = grading.started[kFromOtherPort];
    Reject reason = Reject::kDialbacks;
    if (!host_.StartGrading(this, std::move(grading), source_ip, source_port, ipv4, &reason)) {
      Refuse(reason);
      return;
    }
    grading_nonce_ = request.nonce;
    host_.CountGradingRequest(false, l.isp);
  }
  int sent = stream_->Send(palvex::BuildGradeMessage(reply));
  stage_ = Stage::kHolding;
  deadline_.Start(config_.hold_timeout_ms);
  if (sent != tovali::TcpStream::Ok) {
    HLOG_INFO(host_.log(), "reply to %s not sent: %d",
              palvex::FormatAddress(source_ip, !ipv4, source_port).c_str(), sent);
    End();
  }
}

void ClientSession::ReportFailure(GradingTest test, DialbackOutcome outcome) {
  if (stage_ != Stage::kHolding)
    return;
  palvex::GradeMessage failed;
  failed.kind = palvex::GradeMessage::kFailed;
  failed.nonce = grading_nonce_;
  failed.test = test == kFromOtherAddress ? palvex::kTestOtherAddress : palvex::kTestOtherPort;
  failed.outcome = OutcomeName(outcome);
  // A report that cannot go out changes nothing: the device's own wait decides instead.
  stream_->Send(palvex::BuildGradeMessage(failed));
}

void ClientSession::Refuse(Reject reason) {
  host_.Refuse(reason, stream_->RemoteIp(), stream_->ipv4, stream_->RemotePort());
  End();
}

void ClientSession::End() {
  if (stage_ == Stage::kEnded)
    return;
  Close();
  host_.SessionDone(this);
}

void ClientSession::Close() {
  stage_ = Stage::kEnded;
  if (!grading_nonce_.empty()) {
    host_.GradingSessionEnded(grading_nonce_);
    grading_nonce_.clear();
  }
  deadline_.Stop();
  stream_->Close(0);
  host_.ReleaseConnection(stream_->RemoteIp());
}

}  // namespace palvexd
