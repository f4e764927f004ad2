// One inbound connection accepted on the detector's listening port. Reassembles frames from what
// the connection delivers; the first complete frame reports success and where the connection
// came from, a failure, a close or a missed deadline before that reports the code. Loop thread
// only.
//
// Lifetime: its host (InboundStreams) owns every ReverseStream and lets go of it in OnStreamDone,
// which this class calls as the last thing it does; the object then dies on a later loop pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tovali/Network/event_loop.h"
#include "tovali/log/log_handle.h"
#include "wire/Frame.h"

struct event_base;

namespace tovali {
class TcpStream;
}

namespace palvex {

class ReverseStream;

// All a ReverseStream may tell its owner: that its connection is finished (code 0: a complete
// frame came from `detect_addr`; `version` and `payload` are that frame's, else 0 and empty).
// Called as the stream's last act.
class ReverseStreamHost {
 public:
  virtual void OnStreamDone(ReverseStream* stream, int code, const std::string& detect_addr,
                            uint16_t version, const std::string& payload) = 0;

 protected:
  ~ReverseStreamHost() = default;
};

class ReverseStream {
 public:
  // Inbound data is unauthenticated: a frame announcing more payload than this drops the
  // connection (reported with kFrameTooLarge) instead of collecting without bound.
  static constexpr uint32_t kMaxFramePayload = 65536;
  static constexpr int kFrameTooLarge = 2001;
  // No complete frame within the deadline.
  static constexpr int kFrameTimedOut = 2002;

  // Takes ownership of the accepted, already open `stream`, installs its callbacks and gives the
  // peer `deadline_ms` to deliver a complete frame.
  ReverseStream(ReverseStreamHost& host, event_base* loop, tovali::TcpStream* stream,
                unsigned int id, uint64_t deadline_ms);
  // Destroys the stream if still owned; calls nothing back.
  ~ReverseStream();

  ReverseStream(const ReverseStream&) = delete;
  ReverseStream& operator=(const ReverseStream&) = delete;

  // The stream's on_data: 0 when done with the delivery, -1 when this connection is finished
  // (reported to the detector) and must deliver nothing more.
  int OnData(const char* data, size_t len);
  // The stream's on_error (code never 0): drops the stream and reports the code.
  void OnError(int code);
  // Feeds `available` bytes at `p` to the frame reader. 0: the frame is incomplete; -1: stop,
  // the connection is finished (a frame was handled, or it announced too much).
  int ParseFrame(const char* p, size_t available);
  // Handles the complete frame; non-zero when processing must stop (always, in practice).
  int OnMessage(uint16_t version, const std::string& payload);

  uint32_t id() const { return id_; }
  const std::string& tag() const { return log_.tag(); }

 private:
  // Closes the connection and reports `code` to the owner; the last call of any path.
  void Fail(int code);

  tovali::LogHandle log_;
  ReverseStreamHost& host_;
  std::unique_ptr<tovali::TcpStream> stream_;
  std::string local_ip_;
  uint16_t local_port_ = 0;
  std::string remote_ip_;
  uint16_t remote_port_ = 0;
  uint32_t id_;
  FrameReader reader_{kMaxFramePayload};  // any version: it is only logged
  tovali::Timer deadline_;
};

}  // namespace palvex
