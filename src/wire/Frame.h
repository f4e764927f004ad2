// The frame every request and dial-back message travels in, for palvex and palvexd alike:
// big-endian 16-bit version, big-endian 32-bit payload length, then the payload. Building it,
// reading its header, and an incremental reader that takes a frame as its bytes arrive. Pure code:
// no I/O, no logging, no callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace palvex {

inline constexpr size_t kFrameHeaderSize = 6;

// Header and payload; the length field is 32 bits, a payload is at most a few kilobytes.
std::string BuildFrame(uint16_t version, const std::string& payload);

struct FrameHeader {
  uint16_t version = 0;
  uint32_t length = 0;  // payload bytes after the header
};

// Reads the header from the first kFrameHeaderSize bytes; false (out untouched) if fewer.
bool ReadFrameHeader(const char* data, size_t size, FrameHeader* out);

// Header plus payload, in bytes; 64 bits so that it cannot wrap where size_t has 32.
inline uint64_t FrameSize(const FrameHeader& header) {
  return kFrameHeaderSize + static_cast<uint64_t>(header.length);
}

// Reads one frame from bytes delivered in any pieces. With a version check it judges the version
// as soon as its two bytes are in, and the length as soon as the header is complete, so that a
// bad frame is refused without waiting for more of it. Nothing is kept but the header and the
// payload: an idle reader holds no heap memory.
class FrameReader {
 public:
  enum Status : int {
    kNeedMore = 0,    // everything given was taken; the frame is not complete yet
    kComplete = 1,    // version() and payload() hold the frame
    kBadVersion = 2,  // the version check said no
    kTooLarge = 3,    // the length exceeds max_payload
  };
  using VersionCheck = bool (*)(uint16_t version);

  // `accepts` null: any version.
  explicit FrameReader(uint32_t max_payload, VersionCheck accepts = nullptr)
      : max_payload_(max_payload), accepts_(accepts) {}

  // Takes bytes up to the end of the frame and sets *used to how many it took (bytes after the
  // frame are left alone). Once a status other than kNeedMore has been returned, the reader
  // keeps returning it and takes nothing more.
  Status Feed(const char* data, size_t len, size_t* used);

  uint16_t version() const { return version_; }
  // Valid once the header is complete (kTooLarge included).
  uint32_t length() const { return length_; }
  const std::string& payload() const { return payload_; }

 private:
  uint32_t max_payload_;
  VersionCheck accepts_;
  Status status_ = kNeedMore;
  char header_[kFrameHeaderSize] = {};
  uint8_t header_fill_ = 0;
  bool version_judged_ = false;
  uint16_t version_ = 0;
  uint32_t length_ = 0;
  std::string payload_;
};

}  // namespace palvex
