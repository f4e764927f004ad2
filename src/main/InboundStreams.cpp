#include "main/InboundStreams.h"

#include <algorithm>
#include <utility>

#include "main/ReverseStream.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/log/logger.h"

namespace palvex {

InboundStreams::InboundStreams(event_base* loop, std::string log_tag)
    : loop_(loop), log_tag_(std::move(log_tag)) {
  finished_.Init(loop_);
}

InboundStreams::~InboundStreams() {
  streams_.clear();
  finished_.Clear();
}

void InboundStreams::Add(tovali::TcpStream* stream) {
  std::unique_ptr<tovali::TcpStream> owned(stream);
  if (streams_.size() >= kMaxStreams) {
    // Whoever has held a slot longest without a frame makes room: a flood of idle or slow peers
    // can delay the dial-back's slot, never refuse it.
    const ReverseStream& oldest = *streams_.front();
    LOG_WARN("", "%s too many inbound connections (%zu), close the oldest %s to take %s:%u",
             log_tag_.c_str(), streams_.size(), oldest.tag().c_str(), owned->RemoteIp().c_str(),
             owned->RemotePort());
    streams_.pop_front();
  }
  ++count_;
  streams_.push_back(
      std::make_unique<ReverseStream>(*this, loop_, owned.release(), count_, frame_deadline_ms));
}

void InboundStreams::OnStreamDone(ReverseStream* stream, int code, const std::string& detect_addr) {
  auto it =
      std::find_if(streams_.begin(), streams_.end(),
                   [stream](const std::unique_ptr<ReverseStream>& s) { return s.get() == stream; });
  if (it != streams_.end()) {
    finished_.DeleteSoon(std::move(*it));
    streams_.erase(it);
  }
  if (code == 0 && on_frame) {
    // One shot: the run ends with the first frame.
    std::function<void(const std::string&)> report = std::move(on_frame);
    on_frame = nullptr;
    report(detect_addr);
  }
}

}  // namespace palvex
