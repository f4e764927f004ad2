// The connections accepted on the detector's listening port, each handled by a ReverseStream.
// The port is open to anyone, so hostile or broken peers must not be able to crowd out the
// server's dial-back: at most kMaxStreams are open at once, a new arrival pushes out the oldest,
// and a connection that has not delivered its frame within kFrameDeadlineMs is dropped. The first
// complete frame on any of them is reported through on_frame. Loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "main/ReverseStream.h"
#include "tovali/Network/owned_set.h"
#include "tovali/log/log_handle.h"

struct event_base;

namespace tovali {
class TcpStream;
}

namespace palvex {

class InboundStreams final : public ReverseStreamHost {
 public:
  static constexpr size_t kMaxStreams = 64;
  // A genuine dial-back sends its frame as soon as it connects.
  static constexpr uint64_t kFrameDeadlineMs = 2000;

  // `log_tag` is the owner's, used for the lines about the set as a whole.
  InboundStreams(event_base* loop, std::string log_tag);
  // Closes what is still open; calls nothing back.
  ~InboundStreams();

  InboundStreams(const InboundStreams&) = delete;
  InboundStreams& operator=(const InboundStreams&) = delete;

  // Takes ownership of an accepted, open stream; numbers it (1, 2, ...) and, when the set is
  // full, first closes the oldest connection. Never calls back inside.
  void Add(tovali::TcpStream* stream);
  size_t size() const { return streams_.size(); }

  // Set before Add; applies to the streams added afterwards.
  uint64_t frame_deadline_ms = kFrameDeadlineMs;

  // The stream is released on a later loop pass.
  void OnStreamDone(ReverseStream* stream, int code, const std::string& detect_addr,
                    uint16_t version, const std::string& payload) override;

  // The first complete frame and where it came from; may stay empty. The owner may destroy the
  // set inside it.
  std::function<void(const std::string& detect_addr)> on_frame;
  // Instead of on_frame: every complete frame, each on its own connection. The owner may
  // destroy the set inside it.
  std::function<void(const std::string& detect_addr, uint16_t version, const std::string& payload)>
      on_message;

 private:
  event_base* loop_;
  tovali::LogHandle log_;  // the owner's, for the lines about the set as a whole
  uint32_t count_ = 0;
  tovali::OwnedSet<ReverseStream> streams_;
};

}  // namespace palvex
