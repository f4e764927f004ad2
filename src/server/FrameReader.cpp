#include "server/FrameReader.h"

#include <algorithm>

namespace palvexd {

FrameReader::Status FrameReader::Feed(const char* data, size_t len, size_t* used) {
  *used = 0;
  if (status_ != kNeedMore)
    return status_;
  size_t pos = 0;
  if (header_fill_ < kFrameHeaderSize) {
    size_t take = std::min(len, kFrameHeaderSize - header_fill_);
    for (size_t i = 0; i < take; ++i)
      header_[header_fill_ + i] = static_cast<unsigned char>(data[i]);
    header_fill_ += take;
    pos = take;
    if (header_fill_ >= 2 && version_ == 0) {
      version_ = static_cast<uint16_t>((header_[0] << 8) | header_[1]);
      if (version_ != kDetectVersion && version_ != kLocateVersion) {
        *used = pos;
        return status_ = kBadVersion;
      }
    }
    if (header_fill_ < kFrameHeaderSize) {
      *used = pos;
      return status_;
    }
    length_ = (uint32_t{header_[2]} << 24) | (uint32_t{header_[3]} << 16) |
              (uint32_t{header_[4]} << 8) | uint32_t{header_[5]};
    if (length_ > max_payload_) {
      *used = pos;
      return status_ = kTooLarge;
    }
  }
  size_t take = std::min<size_t>(len - pos, length_ - payload_.size());
  payload_.append(data + pos, take);
  pos += take;
  *used = pos;
  if (payload_.size() == length_)
    status_ = kComplete;
  return status_;
}

}  // namespace palvexd
