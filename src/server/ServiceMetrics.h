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
  // Each also counts under the ISP code of the device's address (see kMaxIsps).
  void CountRequest(uint16_t version, uint16_t isp);
  void CountReject(Reject reason);
  // `connect_us` goes into the histogram for kOk only.
  void CountDialback(DialbackOutcome outcome, uint64_t connect_us, uint16_t isp);
  void CountReload(bool ok);
  // Accepting paused: descriptors or memory ran out (or, for clients, every connection slot is
  // taken). `metrics`: the metrics endpoint's listener rather than the clients'.
  void CountAcceptPause(bool metrics);
  // NAT gradings: requests by test asked, dial-backs by test and outcome, and the finished
  // grades by protocol, ISP code and NAT type.
  void CountGradingRequest(bool mapping_only, uint16_t isp);
  void CountGradingDialback(GradingTest test, DialbackOutcome outcome);
  void CountGrade(const DetectRecord& grading);
  // The STUN service: Binding requests answered, their CHANGE-REQUESTs, error responses, and
  // datagrams dropped unanswered (not a request, malformed, over the rate limit).
  enum StunEvent : int { kStunRequest, kStunChangeRequest, kStunError, kStunDropped };
  void CountStun(bool ipv6, StunEvent event);

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
  std::atomic<uint64_t> stun_[2][4] = {};
  std::atomic<uint64_t> grading_dialbacks_[2][kOutcomes] = {};
  // The series labelled by ISP code. The codes are the operator's, but a table or map may hold
  // many: the first kMaxIsps seen get a label each, the rest share isp="other" (-1 here).
  int IspLabel(uint16_t isp);  // under isp_mutex_
  void CountByIsp(std::map<std::pair<int, int>, uint64_t>* series, int key, uint16_t isp);
  static constexpr size_t kMaxIsps = 64;
  mutable std::mutex isp_mutex_;
  std::map<int, bool> isps_;
  std::map<std::pair<int, int>, uint64_t> isp_requests_;   // (kind, isp)
  std::map<std::pair<int, int>, uint64_t> isp_dialbacks_;  // (outcome, isp)
  std::map<std::tuple<bool, int, int>, uint64_t> grades_;  // (ipv6, isp, type)
};

}  // namespace palvexd
