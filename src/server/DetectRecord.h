// The record of one finished request: one compact JSON line, members in a fixed order, for the
// operator's log pipeline. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "server/LocationTable.h"
#include "wire/NatGrade.h"

namespace palvexd {

// How the dial-back of a request ended; kSkipped for locate-only requests.
enum class DialbackOutcome : int { kOk, kRefused, kTimeout, kUnreachable, kError, kSkipped };

const char* OutcomeName(DialbackOutcome outcome);

inline constexpr size_t kMaxIdentityBytes = 256;

// What a NAT grading's request adds to its record.
struct GradeFacts {
  const char* test = nullptr;  // "grade" or "mapping"; null for the detect requests
  std::string nonce;
  // "grade" only: each dial-back's outcome (kSkipped: not started), M1-M3 as the service saw
  // them, and the service's own verdict.
  DialbackOutcome other_address = DialbackOutcome::kSkipped;
  DialbackOutcome other_port = DialbackOutcome::kSkipped;
  std::string mapped[3];
  palvex::NatVerdict verdict;
};

struct DetectRecord {
  int64_t time = 0;   // Unix seconds when the request finished
  std::string peer;   // observed "addr:port" ("[v6]:port")
  std::string local;  // address the request arrived on
  uint16_t version = 0;
  std::string identity;  // already sanitised (SanitizeIdentity)
  Location location;
  DialbackOutcome dialback = DialbackOutcome::kSkipped;
  uint32_t dialback_ms = 0;  // connect time; written only with kOk
  GradeFacts grade;          // gradings only; they have no "dialback" member
};

// `bytes` as well-formed UTF-8 (tovali::SanitizeUtf8) of at most `max_bytes` bytes, cut before
// the first character that would not fit.
std::string SanitizeIdentity(const std::string& bytes, size_t max_bytes = kMaxIdentityBytes);

// The JSON line, without a line feed.
std::string BuildRecordLine(const DetectRecord& record);

}  // namespace palvexd
