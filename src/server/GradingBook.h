// The NAT gradings in progress, shared by every worker: a grading request's record is held here
// under its nonce until the grading is complete (both dial-backs decided and the mapping
// requests in, which may arrive on any worker), or until the hold time after its reply has
// passed, and then handed back with the service's own verdict to be written. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/DetectRecord.h"

namespace palvexd {

// Which filtering test: a dial-back from the other address, or from another port.
enum GradingTest : int { kFromOtherAddress = 0, kFromOtherPort = 1 };

// Which mapped endpoint a request of the grading saw: M1 (the grading request itself), M2 (the
// other address, primary port) or M3 (the other port).
enum MappingSlot : int { kMappedPrimary = 0, kMappedOtherAddress = 1, kMappedOtherPort = 2 };

struct Grading {
  DetectRecord record;  // the grading request's; record.grade fills in as facts arrive
  // The device's own end of each request's connection as it reported it; may be empty.
  std::string device_local[3];
  bool other_address = false;  // M3 is asked of the other address
  bool started[2] = {false, false};
  bool decided[2] = {false, false};
  int mappings_expected = 0;
  int mappings_seen = 0;
  int64_t replied_ms = 0;
};

class GradingBook {
 public:
  explicit GradingBook(size_t capacity) : capacity_(capacity) {}

  // False when the nonce is held already or the book is full.
  bool Open(Grading grading);
  // Each call appends the gradings it completed to *done, their verdicts filled.
  void SetDialback(const std::string& nonce, GradingTest test, DialbackOutcome outcome,
                   std::vector<Grading>* done);
  // False when no grading holds the nonce (the mapped endpoint is then the request's own).
  bool AddMapping(const std::string& nonce, MappingSlot slot, const std::string& mapped,
                  const std::string& device_local, std::vector<Grading>* done);
  // Completes what has waited `hold_ms` since its reply with its dial-backs decided, and
  // whatever has waited twice that.
  void Sweep(int64_t now_ms, uint32_t hold_ms, std::vector<Grading>* done);
  // Completes everything: the service is stopping.
  void TakeAll(std::vector<Grading>* done);
  size_t size() const;

 private:
  void Finish(std::unordered_map<std::string, Grading>::iterator it, std::vector<Grading>* done);
  void FinishIfComplete(std::unordered_map<std::string, Grading>::iterator it,
                        std::vector<Grading>* done);

  const size_t capacity_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Grading> open_;
};

// The service's verdict on what the grading saw: a dial-back that connected counts as arrived.
palvex::NatVerdict GradeOf(const Grading& grading);

}  // namespace palvexd
