#include "server/TokenBucket.h"

namespace palvexd {
namespace {

constexpr uint64_t kUnitsPerToken = 60000;  // one token refills in 60000 / per_minute ms

}  // namespace

TokenBucket::TokenBucket(uint32_t per_minute, int64_t now_ms)
    : per_minute_(per_minute), level_(uint64_t{per_minute} * kUnitsPerToken), stamp_ms_(now_ms) {}

uint64_t TokenBucket::LevelAt(int64_t now_ms) const {
  const uint64_t capacity = uint64_t{per_minute_} * kUnitsPerToken;
  // A clock that seems to step back refills nothing.
  if (now_ms <= stamp_ms_)
    return level_;
  uint64_t elapsed = static_cast<uint64_t>(now_ms - stamp_ms_);
  // Saturating: a long idle time must not overflow the product.
  if (elapsed >= kUnitsPerToken)
    return capacity;
  uint64_t level = level_ + elapsed * per_minute_;
  return level < capacity ? level : capacity;
}

bool TokenBucket::Take(int64_t now_ms) {
  if (per_minute_ == 0)
    return true;
  level_ = LevelAt(now_ms);
  if (now_ms > stamp_ms_)
    stamp_ms_ = now_ms;
  if (level_ < kUnitsPerToken)
    return false;
  level_ -= kUnitsPerToken;
  return true;
}

bool TokenBucket::Full(int64_t now_ms) const {
  return per_minute_ == 0 || LevelAt(now_ms) == uint64_t{per_minute_} * kUnitsPerToken;
}

}  // namespace palvexd
