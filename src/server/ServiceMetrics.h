// The service's counters, shared by every worker thread and read by the metrics endpoint:
// requests by version, dial-backs by outcome with a connect-time histogram, rejections by
// reason, table reloads. Relaxed atomics: each number is exact, a scrape is not a snapshot
// across numbers. Every method may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "server/DetectRecord.h"
#include "server/GradingBook.h"
#include "server/Limits.h"

namespace palvexd {

class ServiceMetrics {
 public:
  void CountRequest(uint16_t version);
  void CountReject(Reject reason);
  // `connect_us` goes into the histogram for kOk only.
  void CountDialback(DialbackOutcome outcome, uint64_t connect_us);
  void CountReload(bool ok);
  // Accepting paused: descriptors or memory ran out (or, for clients, every connection slot is
  // taken). `metrics`: the metrics endpoint's listener rather than the clients'.
  void CountAcceptPause(bool metrics);
  // NAT gradings: requests by test asked, dial-backs by test and outcome, and the finished
  // grades by protocol, ISP code and NAT type.
  void CountGradingRequest(bool mapping_only);
  void CountGradingDialback(GradingTest test, DialbackOutcome outcome);
  void CountGrade(const DetectRecord& grading);

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
  std::atomic<uint64_t> client_pauses_{0};
  std::atomic<uint64_t> metrics_pauses_{0};
  std::atomic<uint64_t> grading_requests_[2] = {};
  std::atomic<uint64_t> grading_dialbacks_[2][kOutcomes] = {};
  // ISP codes are the table's: a bounded set, past which the rest share one label.
  static constexpr size_t kMaxGradeIsps = 64;
  mutable std::mutex grades_mutex_;
  std::map<std::tuple<bool, int, int>, uint64_t> grades_;  // (ipv6, isp or -1, type)
  std::map<int, bool> grade_isps_;
};

}  // namespace palvexd
