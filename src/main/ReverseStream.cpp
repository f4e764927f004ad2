#include "main/ReverseStream.h"

#include "main/DetectMessage.h"
#include "main/InboundStreams.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/log/logger.h"

namespace palvex {

ReverseStream::ReverseStream(InboundStreams& owner, event_base* loop, tovali::TcpStream* stream,
                             unsigned int id, uint64_t deadline_ms)
    : tag_("[CON " + std::to_string(id) + "]"), owner_(owner), stream_(stream), id_(id) {
  LOG_INFO("", "%s CREATE", tag_.c_str());
  local_ip_ = stream_->LocalIp();
  local_port_ = stream_->LocalPort();
  remote_ip_ = stream_->RemoteIp();
  remote_port_ = stream_->RemotePort();
  LOG_INFO("", "%s Local:(%s %u) Remote:(%s %u)", tag_.c_str(), local_ip_.c_str(), local_port_,
           remote_ip_.c_str(), remote_port_);
  stream_->on_data = [this](const char* data, size_t len) { return OnData(data, len); };
  stream_->on_error = [this](int code) { OnError(code); };
  deadline_.Init(loop, [this, deadline_ms] {
    LOG_ERROR("", "%s no frame within %llu ms", tag_.c_str(),
              static_cast<unsigned long long>(deadline_ms));
    Fail(kFrameTimedOut);
  });
  deadline_.Start(deadline_ms);
}

ReverseStream::~ReverseStream() {
  stream_.reset();
  LOG_INFO("", "%s DELETE", tag_.c_str());
}

int ReverseStream::OnData(const char* data, size_t len) {
  if (buffer_.empty()) {
    // Nothing pending: walk the delivery itself and keep only an unfinished tail.
    size_t pos = 0;
    while (len - pos >= kFrameHeaderSize) {
      int used = ParseFrame(data + pos, len - pos);
      if (used < 0)
        return -1;
      if (used == 0)
        break;
      pos += static_cast<size_t>(used);
    }
    buffer_.append(data + pos, len - pos);
    return 0;
  }
  buffer_.append(data, len);
  size_t pos = 0;
  while (buffer_.size() - pos >= kFrameHeaderSize) {
    int used = ParseFrame(buffer_.data() + pos, buffer_.size() - pos);
    if (used < 0)
      return -1;  // finished: nothing more is delivered
    if (used == 0)
      break;
    pos += static_cast<size_t>(used);
  }
  buffer_.erase(0, pos);
  return 0;
}

void ReverseStream::OnError(int code) {
  LOG_ERROR("", "%s stream error: %d", tag_.c_str(), code);
  Fail(code);
}

int ReverseStream::ParseFrame(const char* p, size_t available) {
  FrameHeader header;
  ReadFrameHeader(p, available, &header);
  if (header.length > kMaxFramePayload) {
    LOG_ERROR("", "%s frame too large: %u", tag_.c_str(), header.length);
    Fail(kFrameTooLarge);
    return -1;
  }
  uint64_t size = FrameSize(header);
  if (available < size)
    return 0;
  if (OnMessage(p, static_cast<size_t>(size)) != 0)
    return -1;
  return static_cast<int>(size);
}

int ReverseStream::OnMessage(const char* frame, size_t size) {
  FrameHeader header;
  ReadFrameHeader(frame, size, &header);
  std::string message(frame + kFrameHeaderSize, size - kFrameHeaderSize);
  LOG_INFO("", "%s receive message: size=%zu version=%u message=%s", tag_.c_str(), size,
           header.version, message.c_str());
  deadline_.Stop();
  // Done with this connection: it closes now and is freed on a later pass.
  stream_->Close(0);
  owner_.OnStreamDone(this, 0, FormatAddress(remote_ip_, !stream_->ipv4, remote_port_));
  return -1;
}

void ReverseStream::Fail(int code) {
  // Closed now, freed with this object on a later pass.
  stream_->Close(0);
  deadline_.Stop();
  owner_.OnStreamDone(this, code, std::string());
}

}  // namespace palvex
