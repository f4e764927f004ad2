#include "server/ClientSession.h"

#include <utility>

#include "base/Frame.h"
#include "server/DetectRecord.h"
#include "server/ServiceWorker.h"
#include "tovali/Network/dns_manager.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/log/logger.h"

namespace palvexd {

ClientSession::ClientSession(ServiceWorker& worker, std::unique_ptr<tovali::TcpStream> stream,
                             std::string source_ip, uint16_t source_port)
    : worker_(worker),
      stream_(std::move(stream)),
      source_ip_(std::move(source_ip)),
      source_port_(source_port),
      reader_(worker.state().config.max_request) {
  stream_->on_data = [this](const char* data, size_t len) { return OnData(data, len); };
  stream_->on_error = [this](int code) { OnError(code); };
  deadline_.Init(worker_.base(), [this] { OnDeadline(); });
}

ClientSession::~ClientSession() {
  if (!ended_)
    Release();
}

void ClientSession::Start() {
  deadline_.Start(worker_.state().config.read_timeout_ms);
}

void ClientSession::Shutdown() {
  if (ended_)
    return;
  if (!replied_)
    worker_.state().metrics.CountReject(Reject::kShutdown);
  Close();
}

int ClientSession::OnData(const char* data, size_t len) {
  if (ended_)
    return -1;
  if (replied_)
    return 0;  // the request is answered; anything more is read and dropped
  size_t used = 0;
  switch (reader_.Feed(data, len, &used)) {
    case FrameReader::kNeedMore:
      return 0;
    case FrameReader::kBadVersion:
      Refuse(Reject::kBadVersion);
      return -1;
    case FrameReader::kTooLarge:
      Refuse(Reject::kTooLarge);
      return -1;
    case FrameReader::kComplete:
      OnRequest();
      return ended_ ? -1 : 0;
  }
  return 0;
}

void ClientSession::OnError(int) {
  if (replied_)
    End();  // the device closed after its answer: the normal end
  else
    Refuse(Reject::kIncomplete);
}

void ClientSession::OnDeadline() {
  if (replied_)
    End();
  else
    Refuse(Reject::kReadTimeout);
}

void ClientSession::OnRequest() {
  ServiceState& state = worker_.state();
  const uint16_t version = reader_.version();
  // The dial-back slot is taken before anything is promised to the device.
  if (version == kDetectVersion && !state.dialbacks.TryAcquire()) {
    Refuse(Reject::kDialbacks);
    return;
  }
  state.metrics.CountRequest(version);
  const bool ipv4 = stream_->ipv4;
  DetectRecord record;
  record.peer = palvex::FormatAddress(source_ip_, !ipv4, source_port_);
  record.local = stream_->LocalIp();
  record.version = version;
  record.identity = SanitizeIdentity(reader_.payload());
  record.location = state.table()->Lookup(source_ip_);
  const Location& l = record.location;
  std::string reply = record.peer + "|" + std::to_string(l.country) + "|" +
                      std::to_string(l.province) + "|" + std::to_string(l.city) + "|" +
                      std::to_string(l.isp);
  int sent = stream_->Send(std::move(reply));
  replied_ = true;
  deadline_.Start(state.config.hold_timeout_ms);

  if (version == kDetectVersion) {
    worker_.StartDialback(std::move(record), source_ip_, source_port_, ipv4);
  } else {
    record.time = palvex::RealTimeSeconds();
    record.dialback = DialbackOutcome::kSkipped;
    worker_.WriteRecord(record);
  }
  if (sent != tovali::TcpStream::Ok) {
    LOG_INFO("", "%s reply to %s not sent: %d", worker_.tag().c_str(),
             palvex::FormatAddress(source_ip_, !ipv4, source_port_).c_str(), sent);
    End();
  }
}

void ClientSession::Refuse(Reject reason) {
  worker_.CountRefusal(reason, source_ip_, stream_->ipv4, source_port_);
  End();
}

void ClientSession::End() {
  if (ended_)
    return;
  Close();
  worker_.OnSessionDone(this);
}

void ClientSession::Close() {
  ended_ = true;
  deadline_.Stop();
  stream_->Close(0);
  Release();
}

void ClientSession::Release() {
  worker_.state().connections.Release();
  worker_.state().limiter.Release(source_ip_, tovali::MonotonicMs());
}

}  // namespace palvexd
