#include "wire/Frame.h"

#include <algorithm>

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

FrameReader::Status FrameReader::Feed(const char* data, size_t len, size_t* used) {
  *used = 0;
  if (status_ != kNeedMore)
    return status_;
  size_t pos = 0;
  if (header_fill_ < kFrameHeaderSize) {
    const size_t take = std::min(len, kFrameHeaderSize - header_fill_);
    for (size_t i = 0; i < take; ++i)
      header_[header_fill_ + i] = data[i];
    header_fill_ = static_cast<uint8_t>(header_fill_ + take);
    pos = take;
    if (header_fill_ >= 2 && !version_judged_) {
      version_judged_ = true;
      version_ = static_cast<uint16_t>((uint8_t(header_[0]) << 8) | uint8_t(header_[1]));
      if (accepts_ != nullptr && !accepts_(version_)) {
        *used = pos;
        return status_ = kBadVersion;
      }
    }
    if (header_fill_ < kFrameHeaderSize) {
      *used = pos;
      return status_;
    }
    FrameHeader header;
    ReadFrameHeader(header_, kFrameHeaderSize, &header);
    length_ = header.length;
    if (length_ > max_payload_) {
      *used = pos;
      return status_ = kTooLarge;
    }
  }
  const size_t take = std::min<size_t>(len - pos, length_ - payload_.size());
  payload_.append(data + pos, take);
  pos += take;
  *used = pos;
  if (payload_.size() == length_)
    status_ = kComplete;
  return status_;
}

}  // namespace palvex
