#include "server/TokenBucket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "server/SourceLimiter.h"

namespace palvexd {
namespace {

TEST(TokenBucketTest, BurstThenRefillAtTheRate) {
  TokenBucket bucket(60, 1000);
  for (int i = 0; i < 60; ++i)
    ASSERT_TRUE(bucket.Take(1000)) << i;
  EXPECT_FALSE(bucket.Take(1000));
  EXPECT_FALSE(bucket.Take(1999));  // 60 a minute: one token a second
  EXPECT_TRUE(bucket.Take(2000));
  EXPECT_FALSE(bucket.Take(2000));
  EXPECT_FALSE(bucket.Full(61000));
  EXPECT_TRUE(bucket.Full(62000));
  // A long pause refills to the burst, not beyond it.
  for (int i = 0; i < 60; ++i)
    ASSERT_TRUE(bucket.Take(10'000'000'000)) << i;
  EXPECT_FALSE(bucket.Take(10'000'000'000));
  // A clock that steps back refills nothing and breaks nothing.
  EXPECT_FALSE(bucket.Take(5));

  TokenBucket odd(7, 0);  // 7 a minute: a token every 8571.4 ms
  for (int i = 0; i < 7; ++i)
    ASSERT_TRUE(odd.Take(0));
  EXPECT_FALSE(odd.Take(8571));
  EXPECT_TRUE(odd.Take(8572));

  TokenBucket unlimited(0, 0);
  for (int i = 0; i < 1000; ++i)
    ASSERT_TRUE(unlimited.Take(0));
}

TEST(SourceLimiterTest, OpenAndRateLimitsPerAddress) {
  SourceLimiter limiter(2, 3);
  EXPECT_EQ(limiter.Admit("192.0.2.1", 0), SourceLimiter::kAdmitted);
  EXPECT_EQ(limiter.Admit("192.0.2.1", 0), SourceLimiter::kAdmitted);
  EXPECT_EQ(limiter.Admit("192.0.2.1", 0), SourceLimiter::kTooManyOpen);
  EXPECT_EQ(limiter.Admit("192.0.2.2", 0), SourceLimiter::kAdmitted);
  limiter.Release("192.0.2.1", 0);
  EXPECT_EQ(limiter.Admit("192.0.2.1", 0), SourceLimiter::kAdmitted);  // third token
  limiter.Release("192.0.2.1", 0);
  limiter.Release("192.0.2.1", 0);
  EXPECT_EQ(limiter.Admit("192.0.2.1", 0), SourceLimiter::kRateLimited);
  // Entries are kept while their bucket refills, then swept.
  EXPECT_EQ(limiter.Sweep(1000), 2u);
  limiter.Release("192.0.2.2", 1000);
  EXPECT_EQ(limiter.Sweep(60'000), 0u);
  EXPECT_EQ(limiter.Admit("192.0.2.1", 60'000), SourceLimiter::kAdmitted);
}

// Workers share the limiter: the open limit must hold however their calls interleave.
TEST(SourceLimiterTest, OpenLimitHoldsAcrossThreads) {
  constexpr uint32_t kMaxOpen = 3;
  SourceLimiter limiter(kMaxOpen, 0);
  std::atomic<int> open{0};
  std::atomic<int> worst{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        if (limiter.Admit("198.51.100.9", i) != SourceLimiter::kAdmitted)
          continue;
        int now = ++open;
        int seen = worst.load();
        while (now > seen && !worst.compare_exchange_weak(seen, now)) {
        }
        --open;
        limiter.Release("198.51.100.9", i);
      }
    });
  }
  for (std::thread& t : threads)
    t.join();
  EXPECT_LE(worst.load(), static_cast<int>(kMaxOpen));
  EXPECT_EQ(limiter.Sweep(0), 0u);
}

}  // namespace
}  // namespace palvexd
