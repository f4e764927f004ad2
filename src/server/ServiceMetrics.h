// The service's counters, shared by every worker thread and read by the metrics endpoint:
// requests by version, dial-backs by outcome with a connect-time histogram, rejections by
// reason, table reloads. Relaxed atomics: each number is exact, a scrape is not a snapshot
// across numbers. Every method may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/DetectRecord.h"

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
};
inline constexpr size_t kRejectKinds = 9;

const char* RejectName(Reject reason);

// A value with a ceiling that any thread may take and give back.
class Slots {
 public:
  explicit Slots(uint32_t limit) : limit_(limit) {}
  // False, taking nothing, when `limit` are in use.
  bool TryAcquire();
  void Release() { used_.fetch_sub(1, std::memory_order_relaxed); }
  uint32_t used() const { return used_.load(std::memory_order_relaxed); }

 private:
  const uint32_t limit_;
  std::atomic<uint32_t> used_{0};
};

class ServiceMetrics {
 public:
  void CountRequest(uint16_t version);
  void CountReject(Reject reason);
  // `connect_us` goes into the histogram for kOk only.
  void CountDialback(DialbackOutcome outcome, uint64_t connect_us);
  void CountReload(bool ok);

  // Prometheus text exposition; the gauges come from the caller.
  std::string Render(uint32_t open_connections, uint32_t dialbacks_in_flight,
                     uint64_t record_failures, uint64_t table_prefixes) const;

 private:
  static constexpr size_t kOutcomes = 6;
  static constexpr size_t kBuckets = 13;
  static const uint64_t kBucketUs[kBuckets];

  std::atomic<uint64_t> requests_full_{0};
  std::atomic<uint64_t> requests_locate_{0};
  std::atomic<uint64_t> rejected_[kRejectKinds] = {};
  std::atomic<uint64_t> dialbacks_[kOutcomes] = {};
  std::atomic<uint64_t> buckets_[kBuckets] = {};  // not cumulative; summed when rendered
  std::atomic<uint64_t> connect_sum_us_{0};
  std::atomic<uint64_t> connect_count_{0};
  std::atomic<uint64_t> reloads_ok_{0};
  std::atomic<uint64_t> reloads_failed_{0};
};

}  // namespace palvexd
