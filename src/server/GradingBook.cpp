#include "server/GradingBook.h"

#include <iterator>
#include <utility>

#include "tovali/util/clock.h"

namespace palvexd {
namespace {

palvex::DialbackTest TestOf(const Grading& g, int test) {
  if (!g.started[test])
    return palvex::DialbackTest::kNotStarted;
  if (!g.decided[test])
    return palvex::DialbackTest::kPending;
  const DialbackOutcome outcome =
      test == kFromOtherAddress ? g.record.grade.other_address : g.record.grade.other_port;
  return outcome == DialbackOutcome::kOk ? palvex::DialbackTest::kArrived
                                         : palvex::DialbackTest::kNotArrived;
}

bool DialbacksDecided(const Grading& g) {
  return (!g.started[0] || g.decided[0]) && (!g.started[1] || g.decided[1]);
}

}  // namespace

palvex::NatVerdict GradeOf(const Grading& g) {
  palvex::NatObservation seen;
  for (int i = 0; i < 3; ++i) {
    seen.mapped[i] = g.record.grade.mapped[i];
    seen.local[i] = g.device_local[i];
  }
  seen.other_address = g.other_address;
  const long port = palvex::EndpointPort(g.device_local[kMappedPrimary]);
  seen.listen_port = port > 0 ? static_cast<uint16_t>(port) : 0;
  seen.from_other_address = TestOf(g, kFromOtherAddress);
  seen.from_other_port = TestOf(g, kFromOtherPort);
  palvex::NatVerdict verdict = palvex::ClassifyNat(seen);
  if (g.device_local[kMappedPrimary].empty()) {
    // Without the device's own endpoint, translation cannot be told from none.
    verdict.port_preserved = -1;
    if (verdict.mapping == palvex::NatBehaviour::kNone)
      verdict.mapping = palvex::NatBehaviour::kUnknown;
  }
  return verdict;
}

bool GradingBook::Open(Grading grading) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (open_.size() >= capacity_)
    return false;
  std::string nonce = grading.record.grade.nonce;
  return open_.emplace(std::move(nonce), std::move(grading)).second;
}

void GradingBook::SetDialback(const std::string& nonce, GradingTest test, DialbackOutcome outcome,
                              std::vector<Grading>* done) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = open_.find(nonce);
  if (it == open_.end())
    return;
  Grading& g = it->second;
  (test == kFromOtherAddress ? g.record.grade.other_address : g.record.grade.other_port) = outcome;
  g.decided[test] = true;
  FinishIfComplete(it, done);
}

bool GradingBook::AddMapping(const std::string& nonce, MappingSlot slot, const std::string& mapped,
                             const std::string& device_local, std::vector<Grading>* done) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = open_.find(nonce);
  if (it == open_.end())
    return false;
  Grading& g = it->second;
  // A repeated request does not count twice; the first answer stands.
  if (slot != kMappedPrimary && g.record.grade.mapped[slot].empty()) {
    g.record.grade.mapped[slot] = mapped;
    g.device_local[slot] = device_local;
    ++g.mappings_seen;
  }
  FinishIfComplete(it, done);
  return true;
}

void GradingBook::Sweep(int64_t now_ms, uint32_t hold_ms, std::vector<Grading>* done) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = open_.begin(); it != open_.end();) {
    auto next = std::next(it);
    const int64_t waited = now_ms - it->second.replied_ms;
    if ((waited >= hold_ms && DialbacksDecided(it->second)) || waited >= 2 * int64_t{hold_ms})
      Finish(it, done);
    it = next;
  }
}

void GradingBook::TakeAll(std::vector<Grading>* done) {
  std::lock_guard<std::mutex> lock(mutex_);
  while (!open_.empty())
    Finish(open_.begin(), done);
}

size_t GradingBook::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_.size();
}

void GradingBook::FinishIfComplete(std::unordered_map<std::string, Grading>::iterator it,
                                   std::vector<Grading>* done) {
  const Grading& g = it->second;
  if (DialbacksDecided(g) && g.mappings_seen >= g.mappings_expected)
    Finish(it, done);
}

void GradingBook::Finish(std::unordered_map<std::string, Grading>::iterator it,
                         std::vector<Grading>* done) {
  Grading g = std::move(it->second);
  open_.erase(it);
  g.record.grade.verdict = GradeOf(g);
  g.record.time = tovali::RealTimeSeconds();
  done->push_back(std::move(g));
}

}  // namespace palvexd
