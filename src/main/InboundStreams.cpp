#include "main/InboundStreams.h"

#include <utility>

#include "tovali/Network/tcp_stream.h"
#include "tovali/log/log_handle.h"
#include "tovali/log/logger.h"

namespace palvex {

InboundStreams::InboundStreams(event_base* loop, std::string log_tag)
    : loop_(loop), log_(std::move(log_tag)) {
  streams_.Init(loop_);
}

InboundStreams::~InboundStreams() = default;

void InboundStreams::Add(tovali::TcpStream* stream) {
  std::unique_ptr<tovali::TcpStream> owned(stream);
  if (streams_.size() >= kMaxStreams) {
    // Whoever has held a slot longest without a frame makes room: a flood of idle or slow peers
    // can delay the dial-back's slot, never refuse it.
    ReverseStream* oldest = streams_.oldest();
    HLOG_WARN(log_, "too many inbound connections (%zu), close the oldest %s to take %s:%u",
              streams_.size(), oldest->tag().c_str(), owned->RemoteIp().c_str(),
              owned->RemotePort());
    streams_.Take(oldest).reset();
  }
  ++count_;
  streams_.Add(
      std::make_unique<ReverseStream>(*this, loop_, owned.release(), count_, frame_deadline_ms));
}

void InboundStreams::OnStreamDone(ReverseStream* stream, int code, const std::string& detect_addr,
                                  uint16_t version, const std::string& payload) {
  streams_.Release(stream);
  if (code == 0 && on_message) {
    // The stream dies on a later pass: what it passes stays valid through the call.
    on_message(detect_addr, version, payload);
    return;
  }
  if (code == 0 && on_frame) {
    // One shot: the run ends with the first frame.
    std::function<void(const std::string&)> report = std::move(on_frame);
    on_frame = nullptr;
    report(detect_addr);
  }
}

}  // namespace palvex
