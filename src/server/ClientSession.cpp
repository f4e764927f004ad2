#include "server/ClientSession.h"

#include <utility>

#include "tovali/Network/tcp_stream.h"
#include "tovali/log/log_handle.h"
#include "tovali/log/logger.h"
#include "tovali/util/clock.h"
#include "wire/DetectProtocol.h"

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
  if (stage_ == Stage::kHolding)
    return 0;  // the request is answered; anything more is read and dropped
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
  // The dial-back slot is taken before anything is promised to the device.
  if (version == palvex::kDetectVersion && !host_.TakeDialbackSlot()) {
    Refuse(Reject::kDialbacks);
    return;
  }
  host_.CountRequest(version);
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
  deadline_.Stop();
  stream_->Close(0);
  host_.ReleaseConnection(stream_->RemoteIp());
}

}  // namespace palvexd
