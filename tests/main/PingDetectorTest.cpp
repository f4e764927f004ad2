// The ping's arithmetic: statistics over the attempts and the per-attempt timeout. The output
// lines themselves are checked end to end (tests/e2e/test_ping.py).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "main/PingDetector.h"

namespace palvex {
namespace {

TEST(PingStatisticsTest, MixOfSuccessAndFailure) {
  const PingStatistics stats = ComputePingStatistics({{0, 5}, {7, 0}, {0, 10}, {0, 4}});
  EXPECT_EQ(stats.attempted, 4u);
  EXPECT_EQ(stats.connected, 3u);
  EXPECT_EQ(stats.failed, 1u);
  EXPECT_EQ(stats.min_ms, 4u);
  EXPECT_EQ(stats.max_ms, 10u);
  EXPECT_EQ(stats.average_ms, 6u);  // 19 / 3, truncated
  EXPECT_DOUBLE_EQ(stats.failed_percent, 25.0);
}

TEST(PingStatisticsTest, NoSuccessKeepsTheStartingExtremes) {
  const PingStatistics stats = ComputePingStatistics({{7, 0}, {5, 0}, {25, 0}});
  EXPECT_EQ(stats.attempted, 3u);
  EXPECT_EQ(stats.connected, 0u);
  EXPECT_EQ(stats.failed, 3u);
  EXPECT_EQ(stats.min_ms, 4294967295u);
  EXPECT_EQ(stats.max_ms, 0u);
  EXPECT_EQ(stats.average_ms, 0u);
  EXPECT_DOUBLE_EQ(stats.failed_percent, 100.0);
}

TEST(PingStatisticsTest, SumWrapsIn32Bits) {
  const PingStatistics stats = ComputePingStatistics({{0, UINT32_MAX}, {0, 3}});
  EXPECT_EQ(stats.min_ms, 3u);
  EXPECT_EQ(stats.max_ms, UINT32_MAX);
  EXPECT_EQ(stats.average_ms, 1u);  // (4294967295 + 3) mod 2^32 = 2, over 2
  EXPECT_DOUBLE_EQ(stats.failed_percent, 0.0);
}

TEST(PingStatisticsTest, NoAttempts) {
  const PingStatistics stats = ComputePingStatistics({});
  EXPECT_EQ(stats.attempted, 0u);
  EXPECT_EQ(stats.min_ms, 4294967295u);
  EXPECT_EQ(stats.average_ms, 0u);
  EXPECT_DOUBLE_EQ(stats.failed_percent, 0.0);
}

TEST(PingAttemptTimeoutTest, LeavesTheLast100MsOfLongIntervalsAndNeverWraps) {
  EXPECT_EQ(PingAttemptTimeoutMs(1000), 900u);
  EXPECT_EQ(PingAttemptTimeoutMs(101), 1u);
  EXPECT_EQ(PingAttemptTimeoutMs(UINT32_MAX), UINT32_MAX - 100);
  // Shorter intervals give the attempt the whole interval: never 0, never a wrap.
  EXPECT_EQ(PingAttemptTimeoutMs(100), 100u);
  EXPECT_EQ(PingAttemptTimeoutMs(99), 99u);
  EXPECT_EQ(PingAttemptTimeoutMs(1), 1u);
}

}  // namespace
}  // namespace palvex
