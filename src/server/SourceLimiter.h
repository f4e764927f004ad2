// Per-source-address limits shared by every worker thread: at most `max_open` open connections
// and a token bucket of `per_minute` requests a minute for each address. The table is split
// into shards, each behind its own mutex, so workers rarely wait for each other. An address's
// entry lives while it has open connections or a bucket that is not yet full again.
//
// Every method may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server/TokenBucket.h"

namespace palvexd {

class SourceLimiter {
 public:
  enum Verdict : int {
    kAdmitted = 0,
    kTooManyOpen = 1,  // the address already has max_open connections
    kRateLimited = 2,  // its bucket is empty
  };

  // 0 for either limit means no limit of that kind.
  SourceLimiter(uint32_t max_open, uint32_t per_minute);

  // Counts one new connection from `address` (any stable text form) and takes a token. Only
  // kAdmitted counts the connection; it must then be given back with Release.
  Verdict Admit(const std::string& address, int64_t now_ms);
  void Release(const std::string& address, int64_t now_ms);
  // Drops entries with no open connection and a full bucket; returns the entries left.
  size_t Sweep(int64_t now_ms);

 private:
  struct Entry {
    explicit Entry(uint32_t per_minute, int64_t now_ms) : bucket(per_minute, now_ms) {}
    uint32_t open = 0;
    TokenBucket bucket;
  };
  struct Shard {
    std::mutex mutex;
    std::unordered_map<std::string, Entry> entries;
  };
  static constexpr size_t kShards = 32;

  Shard& ShardOf(const std::string& address);

  const uint32_t max_open_;
  const uint32_t per_minute_;
  Shard shards_[kShards];
};

}  // namespace palvexd
