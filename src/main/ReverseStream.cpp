#include "main/ReverseStream.h"

#include "tovali/Network/tcp_stream.h"
#include "tovali/log/log_handle.h"
#include "tovali/log/logger.h"
#include "wire/DetectProtocol.h"

namespace palvex {
namespace {

// The payload on one log line: grading frames are lines of their own, and a peer's line feeds
// must not forge log lines.
std::string OneLine(const std::string& payload) {
  std::string out;
  out.reserve(payload.size());
  for (char c : payload) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out.push_back(c);
  }
  return out;
}

}  // namespace

ReverseStream::ReverseStream(ReverseStreamHost& host, event_base* loop, tovali::TcpStream* stream,
                             unsigned int id, uint64_t deadline_ms)
    : log_("[CON " + std::to_string(id) + "]"), host_(host), stream_(stream), id_(id) {
  HLOG_INFO(log_, "CREATE");
  local_ip_ = stream_->LocalIp();
  local_port_ = stream_->LocalPort();
  remote_ip_ = stream_->RemoteIp();
  remote_port_ = stream_->RemotePort();
  HLOG_INFO(log_, "Local:(%s %u) Remote:(%s %u)", local_ip_.c_str(), local_port_,
            remote_ip_.c_str(), remote_port_);
  stream_->on_data = [this](const char* data, size_t len) { return OnData(data, len); };
  stream_->on_error = [this](int code) { OnError(code); };
  deadline_.Init(loop, [this, deadline_ms] {
    HLOG_ERROR(log_, "no frame within %llu ms", static_cast<unsigned long long>(deadline_ms));
    Fail(kFrameTimedOut);
  });
  deadline_.Start(deadline_ms);
}

ReverseStream::~ReverseStream() {
  stream_.reset();
  HLOG_INFO(log_, "DELETE");
}

int ReverseStream::OnData(const char* data, size_t len) {
  return ParseFrame(data, len);
}

void ReverseStream::OnError(int code) {
  HLOG_ERROR(log_, "stream error: %d", code);
  Fail(code);
}

int ReverseStream::ParseFrame(const char* p, size_t available) {
  size_t used = 0;
  switch (reader_.Feed(p, available, &used)) {
    case FrameReader::kNeedMore:
      return 0;
    case FrameReader::kComplete:
      return OnMessage(reader_.version(), reader_.payload()) != 0 ? -1 : 0;
    case FrameReader::kTooLarge:
      HLOG_ERROR(log_, "frame too large: %u", reader_.length());
      Fail(kFrameTooLarge);
      return -1;
    case FrameReader::kBadVersion:  // every version is taken
      break;
  }
  return -1;
}

int ReverseStream::OnMessage(uint16_t version, const std::string& payload) {
  HLOG_INFO(log_, "receive message: size=%zu version=%u message=%s",
            kFrameHeaderSize + payload.size(), version, OneLine(payload).c_str());
  deadline_.Stop();
  // Done with this connection: it closes now and is freed on a later pass.
  stream_->Close(0);
  host_.OnStreamDone(this, 0, FormatAddress(remote_ip_, !stream_->ipv4, remote_port_), version,
                     payload);
  return -1;
}

void ReverseStream::Fail(int code) {
  // Closed now, freed with this object on a later pass.
  stream_->Close(0);
  deadline_.Stop();
  host_.OnStreamDone(this, code, std::string(), 0, std::string());
}

}  // namespace palvex
