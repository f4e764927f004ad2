// A test fixture giving each test a fresh event loop, and checking at the end that the test left
// no event added to it. Watchers and timers belong in the test body (locals), so that they are
// gone before the check in TearDown.
//
//   class TimerTest : public tovali_test::LoopFixture {};
//   TEST_F(TimerTest, Fires) { tovali::Timer t; t.Init(base(), ...); t.Start(0); Run(); }
#pragma once

#include <event2/event.h>
#include <gtest/gtest.h>

#include "tovali/Network/event_loop.h"

namespace tovali_test {

class LoopFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    loop_.Create(0);
    ASSERT_NE(loop_.base(), nullptr);
    added_at_start_ = event_base_get_num_events(loop_.base(), EVENT_BASE_COUNT_ADDED);
  }

  void TearDown() override {
    if (loop_.base() != nullptr) {
      EXPECT_EQ(event_base_get_num_events(loop_.base(), EVENT_BASE_COUNT_ADDED), added_at_start_)
          << "the test left events added to the loop";
    }
  }

  event_base* base() const { return loop_.base(); }

  // Runs the loop with `flags` (0: until exit or no events left) and returns its result.
  int Run(int flags = 0) { return loop_.Run(flags); }

  tovali::EventLoop loop_;
  int added_at_start_ = 0;
};

}  // namespace tovali_test
