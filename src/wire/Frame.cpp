#include "base/Frame.h"

#include <ctime>

namespace palvex {

std::string BuildFrame(uint16_t version, const std::string& payload) {
  std::string frame;
  frame.reserve(kFrameHeaderSize + payload.size());
  frame.push_back(static_cast<char>(version >> 8));
  frame.push_back(static_cast<char>(version & 0xff));
  const uint32_t length = static_cast<uint32_t>(payload.size());
  for (int shift = 24; shift >= 0; shift -= 8)
    frame.push_back(static_cast<char>((length >> shift) & 0xff));
  frame += payload;
  return frame;
}

bool ReadFrameHeader(const char* data, size_t size, FrameHeader* out) {
  if (size < kFrameHeaderSize)
    return false;
  const auto byte = [data](int i) { return static_cast<uint32_t>(static_cast<uint8_t>(data[i])); };
  out->version = static_cast<uint16_t>((byte(0) << 8) | byte(1));
  out->length = (byte(2) << 24) | (byte(3) << 16) | (byte(4) << 8) | byte(5);
  return true;
}

std::string FormatAddress(const std::string& ip, bool ipv6, uint16_t port) {
  std::string text = ipv6 ? "[" + ip + "]" : ip;
  return text + ":" + std::to_string(port);
}

int64_t RealTimeSeconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec);
}

}  // namespace palvex
