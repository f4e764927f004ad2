// The two clocks everything here reads: the monotonic clock for intervals, deadlines and ages,
// the real-time clock for what records and reports show. Any thread.
#pragma once

#include <cstdint>

namespace tovali {

// CLOCK_MONOTONIC in whole milliseconds (nanoseconds divided by 1,000,000).
int64_t MonotonicMs();
// CLOCK_MONOTONIC in whole microseconds, for connect times.
int64_t MonotonicUs();
// Whole seconds since the Unix epoch from CLOCK_REALTIME, truncated.
int64_t RealTimeSeconds();

}  // namespace tovali
