#include "server/Limits.h"

namespace palvexd {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

}  // namespace

const char* RejectName(Reject reason) {
  switch (reason) {
    case Reject::kConnections:
      return "connections";
    case Reject::kSourceConnections:
      return "source_connections";
    case Reject::kSourceRate:
      return "source_rate";
    case Reject::kDialbacks:
      return "dialbacks";
    case Reject::kBadVersion:
      return "bad_version";
    case Reject::kTooLarge:
      return "too_large";
    case Reject::kReadTimeout:
      return "read_timeout";
    case Reject::kIncomplete:
      return "incomplete";
    case Reject::kShutdown:
      return "shutdown";
    case Reject::kMalformed:
      return "malformed";
  }
  return "unknown";
}

bool Slots::TryAcquire() {
  uint32_t used = used_.load(kRelaxed);
  do {
    if (used >= limit_)
      return false;
  } while (!used_.compare_exchange_weak(used, used + 1, kRelaxed));
  return true;
}

}  // namespace palvexd
