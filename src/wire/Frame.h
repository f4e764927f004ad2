// What palvex and palvexd share on the wire: the frame every request and inbound message is
// sent in, and the text form of an address and port. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace palvex {

// Frame: big-endian 16-bit version, big-endian 32-bit payload length, then the payload.
inline constexpr size_t kFrameHeaderSize = 6;
inline constexpr uint16_t kDetectVersion = 1;  // full detection
inline constexpr uint16_t kLocateVersion = 4;  // mapped address and location codes only

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

// "ip:port", the ip in brackets for IPv6 (also when empty).
std::string FormatAddress(const std::string& ip, bool ipv6, uint16_t port);

// Seconds since the Unix epoch, the time records carry.
int64_t RealTimeSeconds();

}  // namespace palvex
