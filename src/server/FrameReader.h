// Reads the one request frame of a client connection as its bytes arrive: big-endian 16-bit
// version, big-endian 32-bit payload length, then the payload (the device identity). Judges the
// version as soon as its two bytes are in and the length as soon as the header is complete, so a
// bad request is refused without waiting for more of it. Plain data; no I/O, no callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Frame.h"

namespace palvexd {

using palvex::kDetectVersion;  // full detection: reply, then dial back
using palvex::kFrameHeaderSize;
using palvex::kLocateVersion;  // reply only

class FrameReader {
 public:
  enum Status : int {
    kNeedMore = 0,    // everything given was taken; the frame is not complete yet
    kComplete = 1,    // version() and payload() hold the frame
    kBadVersion = 2,  // neither 1 nor 4
    kTooLarge = 3,    // the length exceeds max_payload
  };

  explicit FrameReader(uint32_t max_payload) : max_payload_(max_payload) {}

  // Takes bytes up to the end of the frame and sets *used to how many it took (bytes after the
  // frame are left alone). Once a status other than kNeedMore has been returned, the reader
  // keeps returning it and takes nothing more.
  Status Feed(const char* data, size_t len, size_t* used);

  uint16_t version() const { return version_; }
  const std::string& payload() const { return payload_; }

 private:
  uint32_t max_payload_;
  Status status_ = kNeedMore;
  unsigned char header_[kFrameHeaderSize] = {};
  size_t header_fill_ = 0;
  uint16_t version_ = 0;
  uint32_t length_ = 0;
  std::string payload_;
};

}  // namespace palvexd
