#include "tovali/Network/event_loop.h"

#include <event2/event.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loop_fixture.h"

namespace tovali {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// ---- EventLoop

TEST(EventLoopTest, WithoutBaseEveryOperationIsHarmless) {
  EventLoop loop;
  EXPECT_EQ(loop.base(), nullptr);
  EXPECT_EQ(loop.Run(0), -1);
  EXPECT_EQ(loop.Exit(0), 0);
  EXPECT_EQ(loop.Exit(10), 0);
  EXPECT_EQ(loop.Break(), 0);
  loop.Destroy();
  EXPECT_EQ(loop.base(), nullptr);
}

TEST(EventLoopTest, IgnoresTheEnvironmentAndHonoursAvoidBits) {
  // The environment must not pick the backend for us.
  const char* saved = std::getenv("EVENT_NOEPOLL");
  std::string saved_value = saved != nullptr ? saved : "";
  setenv("EVENT_NOEPOLL", "1", 1);
  EventLoop preferred;
  preferred.Create(0);
  if (saved != nullptr)
    setenv("EVENT_NOEPOLL", saved_value.c_str(), 1);
  else
    unsetenv("EVENT_NOEPOLL");
  ASSERT_NE(preferred.base(), nullptr);
  EXPECT_STREQ(event_base_get_method(preferred.base()), "epoll");

  EventLoop no_epoll;
  no_epoll.Create(8);
  ASSERT_NE(no_epoll.base(), nullptr);
  EXPECT_STRNE(event_base_get_method(no_epoll.base()), "epoll");

  EventLoop neither;
  neither.Create(8 | 2);
  ASSERT_NE(neither.base(), nullptr);
  EXPECT_STREQ(event_base_get_method(neither.base()), "select");
}

class LoopTest : public tovali_test::LoopFixture {};

TEST_F(LoopTest, RunReturnsOneWhenNothingIsAdded) {
  EXPECT_EQ(Run(), 1);
}

TEST_F(LoopTest, ExitFromACallbackEndsRunAfterTheActiveCallbacks) {
  std::vector<std::string> order;
  Timer first;
  Timer second;
  Timer later;  // keeps the loop from running out of events
  ASSERT_EQ(first.Init(base(),
                       [&] {
                         order.push_back("first");
                         EXPECT_EQ(loop_.Exit(0), 0);
                       }),
            0);
  ASSERT_EQ(second.Init(base(), [&] { order.push_back("second"); }), 0);
  ASSERT_EQ(later.Init(base(), [&] { order.push_back("later"); }), 0);
  ASSERT_EQ(later.Start(60000), 0);
  ASSERT_EQ(first.Start(0), 0);
  ASSERT_EQ(second.Start(0), 0);

  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
  EXPECT_TRUE(later.IsPending());
  EXPECT_EQ(later.Stop(), 0);
}

TEST_F(LoopTest, ExitWithADelayEndsAnOtherwiseIdleLoop) {
  Timer far;
  int calls = 0;
  ASSERT_EQ(far.Init(base(), [&] { ++calls; }), 0);
  ASSERT_EQ(far.Start(60000), 0);
  EXPECT_EQ(loop_.Exit(10), 0);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(far.Stop(), 0);
}

// ---- binding codes, shared by the four types

TEST(BindingTest, OperationsOnUnboundObjectsAreHarmless) {
  IoWatcher io;
  EXPECT_EQ(io.Enable(), -1);
  EXPECT_EQ(io.Disable(), 0);
  EXPECT_FALSE(io.IsPending());
  Timer timer;
  EXPECT_EQ(timer.Start(0), -1);
  EXPECT_EQ(timer.Start(10, 10), -1);
  EXPECT_EQ(timer.Stop(), 0);
  EXPECT_FALSE(timer.IsPending());
  AsyncEvent async;
  EXPECT_EQ(async.Start(), -1);
  EXPECT_EQ(async.Stop(), 0);
  EXPECT_EQ(async.Notify(), -1);
  SignalWatcher signal;
  EXPECT_EQ(signal.Enable(), -1);
  EXPECT_EQ(signal.Disable(), 0);
}

class BindingCodesTest : public tovali_test::LoopFixture {};

TEST_F(BindingCodesTest, NullLoopAndEmptyCallbackLeaveTheCallbackUntouched) {
  int calls = 0;
  std::function<void()> callback = [&] { ++calls; };
  std::function<void(int)> signal_callback = [&](int) { ++calls; };

  IoWatcher io;
  Timer timer;
  AsyncEvent async;
  SignalWatcher signal;
  EXPECT_EQ(io.Start(nullptr, 0, EV_READ, std::move(callback)), -1);
  EXPECT_EQ(timer.Init(nullptr, std::move(callback)), -1);
  EXPECT_EQ(async.Init(nullptr, std::move(callback)), -1);
  EXPECT_EQ(signal.Start(nullptr, SIGUSR2, std::move(signal_callback)), -1);
  // -1 is tested before the callback.
  EXPECT_EQ(timer.Init(nullptr, std::function<void()>()), -1);

  EXPECT_EQ(io.Start(base(), 0, EV_READ, std::function<void()>()), -2);
  EXPECT_EQ(timer.Init(base(), std::function<void()>()), -2);
  EXPECT_EQ(async.Init(base(), std::function<void()>()), -2);
  EXPECT_EQ(signal.Start(base(), SIGUSR2, std::function<void(int)>()), -2);

  ASSERT_TRUE(callback);
  ASSERT_TRUE(signal_callback);
  callback();
  signal_callback(0);
  EXPECT_EQ(calls, 2);

  // A failed binding leaves the object unbound: it can still be bound.
  EXPECT_EQ(timer.Init(base(), std::move(callback)), 0);
  EXPECT_FALSE(callback);
  ASSERT_EQ(timer.Start(0), 0);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(calls, 3);
}

TEST_F(BindingCodesTest, BindingTwiceReturnsMinusThreeAndKeepsTheFirstBinding) {
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC), 0);
  int first_calls = 0;
  int second_calls = 0;
  auto second = [&] { ++second_calls; };

  IoWatcher io;
  Timer timer;
  AsyncEvent async;
  SignalWatcher signal;
  ASSERT_EQ(io.Start(base(), pipe_fds[0], EV_READ | EV_PERSIST,
                     [&] {
                       char byte;
                       ASSERT_EQ(read(pipe_fds[0], &byte, 1), 1);
                       ++first_calls;
                       io.Disable();
                     }),
            0);
  ASSERT_EQ(timer.Init(base(), [&] { ++first_calls; }), 0);
  ASSERT_EQ(async.Init(base(),
                       [&] {
                         ++first_calls;
                         async.Stop();
                       }),
            0);
  ASSERT_EQ(signal.Start(base(), SIGUSR2,
                         [&](int number) {
                           EXPECT_EQ(number, SIGUSR2);
                           ++first_calls;
                           signal.Disable();
                         }),
            0);

  std::function<void()> again = second;
  std::function<void(int)> signal_again = [&](int) { ++second_calls; };
  EXPECT_EQ(io.Start(base(), pipe_fds[0], EV_READ, std::move(again)), -3);
  EXPECT_TRUE(again);
  EXPECT_EQ(timer.Init(base(), std::move(again)), -3);
  EXPECT_TRUE(again);
  EXPECT_EQ(async.Init(base(), std::move(again)), -3);
  EXPECT_TRUE(again);
  EXPECT_EQ(signal.Start(base(), SIGUSR1, std::move(signal_again)), -3);
  EXPECT_TRUE(signal_again);

  ASSERT_EQ(write(pipe_fds[1], "x", 1), 1);
  ASSERT_EQ(io.Enable(), 0);
  ASSERT_EQ(timer.Start(0), 0);
  ASSERT_EQ(async.Start(), 0);
  ASSERT_EQ(async.Notify(), 0);
  ASSERT_EQ(signal.Enable(), 0);
  ASSERT_EQ(raise(SIGUSR2), 0);

  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(first_calls, 4);
  EXPECT_EQ(second_calls, 0);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

// ---- Timer

class TimerTest : public tovali_test::LoopFixture {};

TEST_F(TimerTest, ZeroDelayFiresInTheLoopNotInsideStart) {
  Timer timer;
  int calls = 0;
  ASSERT_EQ(timer.Init(base(), [&] { ++calls; }), 0);
  ASSERT_EQ(timer.Start(0), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(calls, 1);
}

TEST_F(TimerTest, RepeatsOnItsIntervalUntilStoppedInsideItsCallback) {
  Timer timer;
  std::vector<Clock::time_point> fired;
  ASSERT_EQ(timer.Init(base(),
                       [&] {
                         fired.push_back(Clock::now());
                         // Already re-armed for the next interval.
                         EXPECT_TRUE(timer.IsPending());
                         if (fired.size() == 3) {
                           EXPECT_EQ(timer.Stop(), 0);
                         } else if (fired.size() > 3) {
                           ADD_FAILURE() << "fired after Stop";
                           loop_.Exit(0);
                         }
                       }),
            0);
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(timer.Start(20, 50), 0);
  EXPECT_EQ(Run(), 1);  // nothing left after the stop
  ASSERT_EQ(fired.size(), 3u);
  EXPECT_FALSE(timer.IsPending());
  // Never early. The re-arm counts from the loop's cached time of that pass, so allow a little
  // below the interval.
  EXPECT_GE(MsBetween(start, fired[0]), 20);
  EXPECT_GE(MsBetween(fired[0], fired[1]), 45);
  EXPECT_GE(MsBetween(fired[1], fired[2]), 45);
}

TEST_F(TimerTest, RepeatingCallbackMayMoveItsNextDeadline) {
  Timer timer;
  Timer watchdog;
  int calls = 0;
  bool watchdog_fired = false;
  ASSERT_EQ(watchdog.Init(base(),
                          [&] {
                            watchdog_fired = true;
                            timer.Stop();
                          }),
            0);
  ASSERT_EQ(timer.Init(base(),
                       [&] {
                         if (++calls == 1) {
                           timer.Start(0);  // instead of the minute the re-arm chose
                         } else {
                           timer.Stop();
                           watchdog.Stop();
                         }
                       }),
            0);
  ASSERT_EQ(watchdog.Start(10000), 0);
  ASSERT_EQ(timer.Start(0, 60000), 0);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(watchdog_fired);
}

TEST_F(TimerTest, RestartingAZeroDelayTimerMovesItsDeadline) {
  Timer timer;
  int calls = 0;
  ASSERT_EQ(timer.Init(base(), [&] { ++calls; }), 0);
  ASSERT_EQ(timer.Start(0), 0);
  ASSERT_EQ(timer.Start(60000), 0);
  EXPECT_EQ(Run(EVLOOP_NONBLOCK), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(timer.IsPending());

  // And the other way: a pending deadline is brought forward to the next pass.
  ASSERT_EQ(timer.Start(0), 0);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(timer.IsPending());
}

TEST_F(TimerTest, StopBeforeTheLoopRunsCancelsAZeroDelayStart) {
  Timer timer;
  int calls = 0;
  ASSERT_EQ(timer.Init(base(), [&] { ++calls; }), 0);
  ASSERT_EQ(timer.Start(0), 0);
  EXPECT_EQ(timer.Stop(), 0);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(calls, 0);
}

TEST_F(TimerTest, OwnerMayDestroyARepeatingTimerInsideItsCallback) {
  auto timer = std::make_unique<Timer>();
  int calls = 0;
  ASSERT_EQ(timer->Init(base(),
                        [&] {
                          ++calls;
                          timer.reset();
                        }),
            0);
  ASSERT_EQ(timer->Start(0, 10), 0);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(timer, nullptr);
}

// ---- DeferredQueue

class DeferredQueueTest : public tovali_test::LoopFixture {};

// An object handed over inside a callback outlives that callback and dies on a later pass, after
// the functions queued with it ran;
// what it queues on its way out dies on a pass after that; leftovers die with the queue.
TEST_F(DeferredQueueTest, DestroysLaterNeverInsideTheCall) {
  struct Probe {
    Probe(std::vector<std::string>* log, std::string name, DeferredQueue* chain = nullptr)
        : log(log), name(std::move(name)), chain(chain) {}
    ~Probe() {
      log->push_back(name);
      if (chain != nullptr)
        chain->DeleteSoon(std::make_unique<Probe>(log, name + "+"));
    }
    std::vector<std::string>* log;
    std::string name;
    DeferredQueue* chain;
  };
  std::vector<std::string> log;
  {
    DeferredQueue queue;
    ASSERT_EQ(queue.Init(base()), 0);
    Timer timer;
    ASSERT_EQ(timer.Init(base(),
                         [&] {
                           queue.DeleteSoon(std::make_unique<Probe>(&log, "a", &queue));
                           queue.RunSoon([&] { log.push_back("ran"); });
                           log.push_back("callback done");
                         }),
              0);
    timer.Start(0);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(log, (std::vector<std::string>{"callback done", "ran", "a", "a+"}));
    queue.DeleteSoon(std::make_unique<Probe>(&log, "left"));
    queue.RunSoon([&] { log.push_back("never"); });
  }
  EXPECT_EQ(log.back(), "left");
}

// ---- AsyncEvent

class AsyncEventTest : public tovali_test::LoopFixture {};

TEST_F(AsyncEventTest, TenNotifiesFromAnotherThreadGiveOneCallback) {
  AsyncEvent async;
  int calls = 0;
  ASSERT_EQ(async.Init(base(),
                       [&] {
                         ++calls;
                         loop_.Exit(0);
                       }),
            0);
  ASSERT_EQ(async.Start(), 0);
  std::atomic<int> failures{0};
  std::thread worker([&] {
    for (int i = 0; i < 10; ++i) {
      if (async.Notify() != 0)
        ++failures;
    }
  });
  worker.join();
  EXPECT_EQ(failures.load(), 0);

  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(calls, 1);
  // Nothing left over for a later pass.
  EXPECT_EQ(Run(EVLOOP_NONBLOCK), 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(async.Stop(), 0);
}

TEST_F(AsyncEventTest, NotifiesWhileTheLoopRunsDeliverEveryQueuedResult) {
  constexpr int kItems = 2000;
  AsyncEvent async;
  std::mutex mutex;
  std::vector<int> queue;
  std::vector<int> received;
  int calls = 0;
  ASSERT_EQ(async.Init(base(),
                       [&] {
                         ++calls;
                         std::vector<int> batch;
                         {
                           std::lock_guard<std::mutex> lock(mutex);
                           batch.swap(queue);
                         }
                         received.insert(received.end(), batch.begin(), batch.end());
                         if (received.size() == kItems)
                           async.Stop();
                       }),
            0);
  ASSERT_EQ(async.Start(), 0);
  std::thread worker([&] {
    for (int i = 0; i < kItems; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(i);
      }
      async.Notify();
    }
  });
  EXPECT_EQ(Run(), 1);  // ends once the callback stops the event
  worker.join();
  ASSERT_EQ(received.size(), static_cast<size_t>(kItems));
  for (int i = 0; i < kItems; ++i)
    ASSERT_EQ(received[i], i);
  EXPECT_GE(calls, 1);
  EXPECT_LE(calls, kItems);
}

TEST_F(AsyncEventTest, OwnerMayDestroyItInsideItsCallback) {
  auto async = std::make_unique<AsyncEvent>();
  int calls = 0;
  ASSERT_EQ(async->Init(base(),
                        [&] {
                          ++calls;
                          async.reset();
                        }),
            0);
  ASSERT_EQ(async->Start(), 0);
  ASSERT_EQ(async->Notify(), 0);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(calls, 1);
}

TEST_F(AsyncEventTest, NotWaitedForUntilStarted) {
  AsyncEvent async;
  int calls = 0;
  ASSERT_EQ(async.Init(base(), [&] { ++calls; }), 0);
  ASSERT_EQ(async.Notify(), 0);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(calls, 0);
  // The earlier wake-up is still due once started.
  ASSERT_EQ(async.Start(), 0);
  EXPECT_EQ(Run(EVLOOP_ONCE), 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(async.Stop(), 0);
}

// ---- IoWatcher

class IoWatcherTest : public tovali_test::LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    ASSERT_EQ(pipe2(fds_, O_NONBLOCK | O_CLOEXEC), 0);
  }
  void TearDown() override {
    close(fds_[0]);
    close(fds_[1]);
    LoopFixture::TearDown();
  }
  int fds_[2] = {-1, -1};
};

TEST_F(IoWatcherTest, CallsBackOnReadinessOnlyWhileEnabled) {
  IoWatcher io;
  int calls = 0;
  ASSERT_EQ(io.Start(base(), fds_[0], EV_READ | EV_PERSIST,
                     [&] {
                       char byte;
                       ASSERT_EQ(read(fds_[0], &byte, 1), 1);
                       if (++calls == 2)
                         io.Disable();
                     }),
            0);
  ASSERT_EQ(write(fds_[1], "ab", 2), 2);
  EXPECT_EQ(Run(), 1);  // started, not enabled: nothing is waited for
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(io.IsPending());

  ASSERT_EQ(io.Enable(), 0);
  EXPECT_TRUE(io.IsPending());
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(io.IsPending());
}

TEST_F(IoWatcherTest, OwnerMayDestroyItInsideItsCallback) {
  auto io = std::make_unique<IoWatcher>();
  int calls = 0;
  ASSERT_EQ(io->Start(base(), fds_[0], EV_READ | EV_PERSIST,
                      [&] {
                        ++calls;
                        io.reset();
                      }),
            0);
  ASSERT_EQ(io->Enable(), 0);
  ASSERT_EQ(write(fds_[1], "a", 1), 1);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(calls, 1);
}

// ---- SignalWatcher

class SignalWatcherTest : public tovali_test::LoopFixture {};

TEST_F(SignalWatcherTest, LoopWithOnlySignalWatchersRunsUntilExit) {
  SignalWatcher signal;
  std::vector<int> numbers;
  ASSERT_EQ(signal.Start(base(), SIGUSR1,
                         [&](int number) {
                           numbers.push_back(number);
                           if (numbers.size() == 1)
                             raise(SIGUSR1);  // the loop waits for it with nothing else added
                           else
                             loop_.Exit(0);
                         }),
            0);
  ASSERT_EQ(signal.Enable(), 0);
  ASSERT_EQ(raise(SIGUSR1), 0);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(numbers, (std::vector<int>{SIGUSR1, SIGUSR1}));
  EXPECT_EQ(signal.Disable(), 0);
}

TEST_F(SignalWatcherTest, OwnerMayDestroyItInsideItsCallback) {
  auto signal = std::make_unique<SignalWatcher>();
  int calls = 0;
  ASSERT_EQ(signal->Start(base(), SIGUSR1,
                          [&](int) {
                            ++calls;
                            signal.reset();
                          }),
            0);
  ASSERT_EQ(signal->Enable(), 0);
  ASSERT_EQ(raise(SIGUSR1), 0);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace tovali
