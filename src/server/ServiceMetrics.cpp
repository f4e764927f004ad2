#include "server/ServiceMetrics.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "wire/DetectProtocol.h"
#include "wire/GradeProtocol.h"

namespace palvexd {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

void Line(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Line(std::string* out, const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  if (n > 0)
    out->append(buf,
                static_cast<size_t>(n) < sizeof(buf) ? static_cast<size_t>(n) : sizeof(buf) - 1);
}

// The request kinds of palvexd_requests_by_isp_total.
const char* const kKinds[] = {"detect", "locate", "grade", "mapping"};

std::string IspText(int label) {
  return label < 0 ? "other" : std::to_string(label);
}

}  // namespace

const uint64_t ServiceMetrics::kBucketUs[kBuckets] = {
    500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000, 2500000, 5000000};

void ServiceMetrics::CountRequest(uint16_t version, uint16_t isp) {
  const bool full = version == palvex::kDetectVersion;
  (full ? requests_full_ : requests_locate_).fetch_add(1, kRelaxed);
  CountByIsp(&isp_requests_, full ? 0 : 1, isp);
}

int ServiceMetrics::IspLabel(uint16_t isp) {
  if (isps_.count(isp) != 0)
    return isp;
  if (isps_.size() >= kMaxIsps)
    return -1;
  isps_[isp] = true;
  return isp;
}

void ServiceMetrics::CountByIsp(std::map<std::pair<int, int>, uint64_t>* series, int key,
                                uint16_t isp) {
  std::lock_guard<std::mutex> lock(isp_mutex_);
  ++(*series)[std::make_pair(key, IspLabel(isp))];
}

void ServiceMetrics::CountReject(Reject reason) {
  rejected_[static_cast<size_t>(reason)].fetch_add(1, kRelaxed);
}

void ServiceMetrics::CountDialback(DialbackOutcome outcome, uint64_t connect_us, uint16_t isp) {
  dialbacks_[static_cast<size_t>(outcome)].fetch_add(1, kRelaxed);
  CountByIsp(&isp_dialbacks_, static_cast<int>(outcome), isp);
  if (outcome != DialbackOutcome::kOk)
    return;
  for (size_t i = 0; i < kBuckets; ++i) {
    if (connect_us <= kBucketUs[i]) {
      buckets_[i].fetch_add(1, kRelaxed);
      break;
    }
  }
  connect_sum_us_.fetch_add(connect_us, kRelaxed);
  connect_count_.fetch_add(1, kRelaxed);
}

void ServiceMetrics::CountReload(bool ok) {
  (ok ? reloads_ok_ : reloads_failed_).fetch_add(1, kRelaxed);
}

void ServiceMetrics::CountAcceptPause(bool metrics) {
  (metrics ? metrics_pauses_ : client_pauses_).fetch_add(1, kRelaxed);
}

void ServiceMetrics::CountGradingRequest(bool mapping_only, uint16_t isp) {
  grading_requests_[mapping_only ? 1 : 0].fetch_add(1, kRelaxed);
  CountByIsp(&isp_requests_, mapping_only ? 3 : 2, isp);
}

void ServiceMetrics::CountGradingDialback(GradingTest test, DialbackOutcome outcome) {
  grading_dialbacks_[test][static_cast<size_t>(outcome)].fetch_add(1, kRelaxed);
}

void ServiceMetrics::CountGrade(const DetectRecord& grading) {
  const bool ipv6 = !grading.peer.empty() && grading.peer.front() == '[';
  const int nat_type = grading.grade.verdict.nat_type;
  std::lock_guard<std::mutex> lock(isp_mutex_);
  ++grades_[std::make_tuple(ipv6, IspLabel(grading.location.isp), nat_type)];
}

void ServiceMetrics::CountStun(bool ipv6, StunEvent event) {
  stun_[ipv6 ? 1 : 0][event].fetch_add(1, kRelaxed);
}

std::string ServiceMetrics::Render(uint32_t open_connections, uint32_t dialbacks_in_flight,
                                   uint64_t record_failures, uint64_t table_prefixes) const {
  std::string out;
  out.reserve(4096);
  out += "# HELP palvexd_requests_total Complete request frames, by version.\n";
  out += "# TYPE palvexd_requests_total counter\n";
  Line(&out, "palvexd_requests_total{version=\"1\"} %" PRIu64 "\n", requests_full_.load(kRelaxed));
  Line(&out, "palvexd_requests_total{version=\"4\"} %" PRIu64 "\n",
       requests_locate_.load(kRelaxed));

  out += "# HELP palvexd_dialbacks_total Finished dial-backs, by outcome.\n";
  out += "# TYPE palvexd_dialbacks_total counter\n";
  for (size_t i = 0; i < kOutcomes; ++i) {
    auto outcome = static_cast<DialbackOutcome>(i);
    if (outcome == DialbackOutcome::kSkipped)
      continue;
    Line(&out, "palvexd_dialbacks_total{outcome=\"%s\"} %" PRIu64 "\n", OutcomeName(outcome),
         dialbacks_[i].load(kRelaxed));
  }

  out += "# HELP palvexd_rejected_total Connections closed without a reply, by reason.\n";
  out += "# TYPE palvexd_rejected_total counter\n";
  for (size_t i = 0; i < kRejectKinds; ++i) {
    Line(&out, "palvexd_rejected_total{reason=\"%s\"} %" PRIu64 "\n",
         RejectName(static_cast<Reject>(i)), rejected_[i].load(kRelaxed));
  }

  out += "# HELP palvexd_open_connections Open client connections.\n";
  out += "# TYPE palvexd_open_connections gauge\n";
  Line(&out, "palvexd_open_connections %u\n", open_connections);
  out += "# HELP palvexd_dialbacks_in_flight Dial-back connections not yet closed.\n";
  out += "# TYPE palvexd_dialbacks_in_flight gauge\n";
  Line(&out, "palvexd_dialbacks_in_flight %u\n", dialbacks_in_flight);

  out += "# HELP palvexd_dialback_connect_seconds Connect time of successful dial-backs.\n";
  out += "# TYPE palvexd_dialback_connect_seconds histogram\n";
  uint64_t cumulative = 0;
  for (size_t i = 0; i < kBuckets; ++i) {
    cumulative += buckets_[i].load(kRelaxed);
    Line(&out, "palvexd_dialback_connect_seconds_bucket{le=\"%g\"} %" PRIu64 "\n",
         static_cast<double>(kBucketUs[i]) / 1e6, cumulative);
  }
  uint64_t count = connect_count_.load(kRelaxed);
  Line(&out, "palvexd_dialback_connect_seconds_bucket{le=\"+Inf\"} %" PRIu64 "\n", count);
  Line(&out, "palvexd_dialback_connect_seconds_sum %.6f\n",
       static_cast<double>(connect_sum_us_.load(kRelaxed)) / 1e6);
  Line(&out, "palvexd_dialback_connect_seconds_count %" PRIu64 "\n", count);

  out += "# HELP palvexd_table_reloads_total Location table reloads, by result.\n";
  out += "# TYPE palvexd_table_reloads_total counter\n";
  Line(&out, "palvexd_table_reloads_total{result=\"ok\"} %" PRIu64 "\n",
       reloads_ok_.load(kRelaxed));
  Line(&out, "palvexd_table_reloads_total{result=\"error\"} %" PRIu64 "\n",
       reloads_failed_.load(kRelaxed));
  out += "# HELP palvexd_location_prefixes Prefixes in the location table in use.\n";
  out += "# TYPE palvexd_location_prefixes gauge\n";
  Line(&out, "palvexd_location_prefixes %" PRIu64 "\n", table_prefixes);
  out += "# HELP palvexd_record_write_errors_total Record lines that could not be written.\n";
  out += "# TYPE palvexd_record_write_errors_total counter\n";
  Line(&out, "palvexd_record_write_errors_total %" PRIu64 "\n", record_failures);
  out +=
      "# HELP palvexd_accept_pauses_total Times accepting paused for want of descriptors, "
      "memory or connection slots, by listener.\n";
  out += "# TYPE palvexd_accept_pauses_total counter\n";
  Line(&out, "palvexd_accept_pauses_total{listener=\"clients\"} %" PRIu64 "\n",
       client_pauses_.load(kRelaxed));
  Line(&out, "palvexd_accept_pauses_total{listener=\"metrics\"} %" PRIu64 "\n",
       metrics_pauses_.load(kRelaxed));

  out += "# HELP palvexd_stun_total STUN datagrams, by family and what became of them.\n";
  out += "# TYPE palvexd_stun_total counter\n";
  const char* const stun_events[] = {"request", "change_request", "error", "dropped"};
  for (int family = 0; family < 2; ++family) {
    for (int event = 0; event < 4; ++event) {
      Line(&out, "palvexd_stun_total{family=\"%s\",event=\"%s\"} %" PRIu64 "\n",
           family == 0 ? "ipv4" : "ipv6", stun_events[event], stun_[family][event].load(kRelaxed));
    }
  }
  out += "# HELP palvexd_grading_requests_total NAT grading requests answered, by test asked.\n";
  out += "# TYPE palvexd_grading_requests_total counter\n";
  Line(&out, "palvexd_grading_requests_total{test=\"grade\"} %" PRIu64 "\n",
       grading_requests_[0].load(kRelaxed));
  Line(&out, "palvexd_grading_requests_total{test=\"mapping\"} %" PRIu64 "\n",
       grading_requests_[1].load(kRelaxed));
  out +=
      "# HELP palvexd_grading_dialbacks_total Finished grading dial-backs, by test and outcome.\n";
  out += "# TYPE palvexd_grading_dialbacks_total counter\n";
  for (int test = 0; test < 2; ++test) {
    for (size_t i = 0; i < kOutcomes; ++i) {
      auto outcome = static_cast<DialbackOutcome>(i);
      if (outcome == DialbackOutcome::kSkipped)
        continue;
      Line(&out, "palvexd_grading_dialbacks_total{test=\"%s\",outcome=\"%s\"} %" PRIu64 "\n",
           test == kFromOtherAddress ? palvex::kTestOtherAddress : palvex::kTestOtherPort,
           OutcomeName(outcome), grading_dialbacks_[test][i].load(kRelaxed));
    }
  }
  out += "# HELP palvexd_nat_grades_total Finished NAT gradings, by protocol, ISP code and type.\n";
  out += "# TYPE palvexd_nat_grades_total counter\n";
  std::lock_guard<std::mutex> lock(isp_mutex_);
  for (const auto& [key, count] : grades_) {
    const auto& [ipv6, isp, type] = key;
    const std::string isp_label = IspText(isp);
    Line(&out, "palvexd_nat_grades_total{protocol=\"%s\",isp=\"%s\",nat_type=\"%d\"} %" PRIu64 "\n",
         ipv6 ? "tcp6" : "tcp", isp_label.c_str(), type, count);
  }
  out += "# HELP palvexd_requests_by_isp_total Requests answered, by kind and ISP code.\n";
  out += "# TYPE palvexd_requests_by_isp_total counter\n";
  for (const auto& [key, count] : isp_requests_) {
    Line(&out, "palvexd_requests_by_isp_total{kind=\"%s\",isp=\"%s\"} %" PRIu64 "\n",
         kKinds[key.first], IspText(key.second).c_str(), count);
  }
  out += "# HELP palvexd_dialbacks_by_isp_total Finished dial-backs, by ISP code and outcome.\n";
  out += "# TYPE palvexd_dialbacks_by_isp_total counter\n";
  for (const auto& [key, count] : isp_dialbacks_) {
    Line(&out, "palvexd_dialbacks_by_isp_total{isp=\"%s\",outcome=\"%s\"} %" PRIu64 "\n",
         IspText(key.second).c_str(), OutcomeName(static_cast<DialbackOutcome>(key.first)), count);
  }
  return out;
}

}  // namespace palvexd
