// A token bucket for "at most N requests a minute": it holds up to N tokens, starts full, and
// refills continuously at N tokens a minute; each request takes one. Integer arithmetic on
// 1/60000 token units, so a refill over any whole number of milliseconds is exact. Plain data;
// the caller provides the monotonic time in ms and any locking.
#pragma once

#include <cstdint>

namespace palvexd {

class TokenBucket {
 public:
  // `per_minute` 0 means no limit: Take always succeeds.
  TokenBucket(uint32_t per_minute, int64_t now_ms);

  // Refills for the time since the last call, then takes one token if there is one.
  bool Take(int64_t now_ms);
  // True when the bucket would be full at `now_ms` (it then holds nothing worth keeping).
  bool Full(int64_t now_ms) const;

 private:
  uint64_t LevelAt(int64_t now_ms) const;

  uint32_t per_minute_;
  uint64_t level_;  // in 1/60000 token units
  int64_t stamp_ms_;
};

}  // namespace palvexd
