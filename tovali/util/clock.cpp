#include "tovali/util/clock.h"

#include <time.h>

namespace tovali {
namespace {

timespec Now(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return ts;
}

}  // namespace

int64_t MonotonicMs() {
  const timespec ts = Now(CLOCK_MONOTONIC);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t MonotonicUs() {
  const timespec ts = Now(CLOCK_MONOTONIC);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t RealTimeSeconds() {
  return static_cast<int64_t>(Now(CLOCK_REALTIME).tv_sec);
}

}  // namespace tovali
