#include "server/SourceLimiter.h"

#include <functional>

namespace palvexd {

SourceLimiter::SourceLimiter(uint32_t max_open, uint32_t per_minute)
    : max_open_(max_open), per_minute_(per_minute) {}

SourceLimiter::Shard& SourceLimiter::ShardOf(const std::string& address) {
  return shards_[std::hash<std::string>{}(address) % kShards];
}

SourceLimiter::Verdict SourceLimiter::Admit(const std::string& address, int64_t now_ms) {
  if (max_open_ == 0 && per_minute_ == 0)
    return kAdmitted;
  Shard& shard = ShardOf(address);
  std::lock_guard<std::mutex> lock(shard.mutex);
  auto it = shard.entries.try_emplace(address, per_minute_, now_ms).first;
  Entry& entry = it->second;
  Verdict verdict = kAdmitted;
  if (max_open_ != 0 && entry.open >= max_open_)
    verdict = kTooManyOpen;
  else if (!entry.bucket.Take(now_ms))
    verdict = kRateLimited;
  else
    ++entry.open;
  return verdict;
}

void SourceLimiter::Release(const std::string& address, int64_t now_ms) {
  if (max_open_ == 0 && per_minute_ == 0)
    return;
  Shard& shard = ShardOf(address);
  std::lock_guard<std::mutex> lock(shard.mutex);
  auto it = shard.entries.find(address);
  if (it == shard.entries.end() || it->second.open == 0)
    return;
  if (--it->second.open == 0 && it->second.bucket.Full(now_ms))
    shard.entries.erase(it);
}

size_t SourceLimiter::Sweep(int64_t now_ms) {
  size_t left = 0;
  for (Shard& shard : shards_) {
    std::lock_guard<std::mutex> lock(shard.mutex);
    for (auto it = shard.entries.begin(); it != shard.entries.end();) {
      if (it->second.open == 0 && it->second.bucket.Full(now_ms))
        it = shard.entries.erase(it);
      else
        ++it;
    }
    left += shard.entries.size();
  }
  return left;
}

}  // namespace palvexd
