// The service's limits in one place: the reasons a connection is refused, and the ceilings that
// any worker thread may take a slot of (open connections, dial-backs in flight). The per-source
// limits are SourceLimiter's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace palvexd {

// Why a connection was closed without a reply.
enum class Reject : int {
  kConnections,        // --max-connections open already
  kSourceConnections,  // the source address has --source-connections open
  kSourceRate,         // the source address's bucket is empty
  kDialbacks,          // --max-dialbacks dial-backs in flight
  kBadVersion,
  kTooLarge,
  kReadTimeout,
  kIncomplete,  // the client closed or failed before a complete frame
  kShutdown,    // the service stopped before the request was complete
  kMalformed,   // a grading request whose payload does not parse, or whose nonce is in use
};
inline constexpr size_t kRejectKinds = 10;

const char* RejectName(Reject reason);

// A value with a ceiling that any thread may take and give back.
class Slots {
 public:
  explicit Slots(uint32_t limit) : limit_(limit) {}
  // False, taking nothing, when `limit` are in use.
  bool TryAcquire();
  void Release() { used_.fetch_sub(1, std::memory_order_relaxed); }
  uint32_t used() const { return used_.load(std::memory_order_relaxed); }
  uint32_t limit() const { return limit_; }

 private:
  const uint32_t limit_;
  std::atomic<uint32_t> used_{0};
};

}  // namespace palvexd
