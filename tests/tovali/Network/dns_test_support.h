// Helpers of the name-resolution tests: a log sink that also records the writing thread's name
// and can be waited on from the loop thread, and a fixture with a fresh loop and manager.
#pragma once

#include <dirent.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/recording_sink.h"
#include "tovali/Network/dns_manager.h"
#include "tovali/Network/dns_request.h"
#include "tovali/Network/dns_resolver.h"
#include "tovali/Network/event_loop.h"
#include "tovali/log/logger.h"
#include "tovali/log/sinker.h"

// For matchers: both fields, found by argument-dependent lookup.
namespace tovali {
inline bool operator==(const DnsIPAddr& a, const DnsIPAddr& b) {
  return a.ip == b.ip && a.is_ipv6 == b.is_ipv6;
}
inline std::ostream& operator<<(std::ostream& out, const DnsIPAddr& a) {
  return out << (a.is_ipv6 ? "IPv6 " : "IPv4 ") << a.ip;
}
}  // namespace tovali

namespace tovali_test {

inline tovali::DnsIPAddr V4(const std::string& ip) {
  return tovali::DnsIPAddr{ip, false};
}
inline tovali::DnsIPAddr V6(const std::string& ip) {
  return tovali::DnsIPAddr{ip, true};
}

// Lines are recorded as "<level>|<log name>|<source>|<message>".
class DnsLogSink : public tovali::Sinker {
 public:
  struct Line {
    std::string text;
    std::string thread;
  };

  DnsLogSink() : Sinker("%l|%n|%s|%v") {}

  void Write(int, const char*, const tovali::LogTime*, tovali::LogBuffer* buffer) override {
    char name[17] = {0};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(Line{std::string(buffer->data, buffer->length), name});
    changed_.notify_all();
  }

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const Line& line : Lines())
      out.push_back(line.text);
    return out;
  }
  // Lines whose text equals `text` exactly.
  int Count(const std::string& text) const {
    int n = 0;
    for (const Line& line : Lines())
      n += line.text == text ? 1 : 0;
    return n;
  }
  // Lines containing `part`.
  int CountContaining(const std::string& part) const {
    int n = 0;
    for (const Line& line : Lines())
      n += line.text.find(part) != std::string::npos ? 1 : 0;
    return n;
  }
  // Blocks (without running any loop) until a line equal to `text` arrived; false after 10 s.
  bool WaitFor(const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
      for (const Line& line : lines_) {
        if (line.text == text)
          return true;
      }
      return false;
    });
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> lines_;
};

// Lookup threads of this process (named "TOVALI-DNS-<id>" from their creation on).
inline int LookupThreadCount() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
      std::string name;
      n += std::getline(comm, name) && name.rfind("TOVALI-DNS-", 0) == 0 ? 1 : 0;
    }
    closedir(dir);
  }
  return n;
}

// A fresh loop, a manager with log name "dns" and a capturing sink at level debug. The loop
// must hold no added event at the end, and every lookup thread must have ended: workers are
// detached, and one left running would log into the next test.
class DnsFixture : public testing::Test {
 protected:
  void SetUp() override {
    loop.Create(0);
    ASSERT_NE(loop.base(), nullptr);
    events_before_ = event_base_get_num_events(loop.base(), EVENT_BASE_COUNT_ADDED);
    sink = std::make_shared<DnsLogSink>();
    tovali::SetLogSinkers({sink});
    tovali::SetLogLevel(tovali::kLogDebug);
    manager.reset(new tovali::DnsManager(loop.base(), "", false, "dns"));
  }

  void TearDown() override {
    manager.reset();
    EXPECT_EQ(event_base_get_num_events(loop.base(), EVENT_BASE_COUNT_ADDED), events_before_);
    loop.Destroy();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (LookupThreadCount() > 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(LookupThreadCount(), 0) << "a lookup thread outlived its test";
  }

  // One loop iteration that runs what is active now, without waiting.
  void RunPass() { event_base_loop(loop.base(), EVLOOP_ONCE | EVLOOP_NONBLOCK); }

  // Runs loop iterations until `done` holds; false if that takes more than 10 s.
  bool RunUntil(const std::function<bool()>& done) {
    bool expired = false;
    tovali::Timer guard;
    guard.Init(loop.base(), [&expired] { expired = true; });
    guard.Start(10000);
    while (!done() && !expired)
      event_base_loop(loop.base(), EVLOOP_ONCE);
    return done();
  }

  // Runs what is due now (pending lookups start), then until no request is in flight.
  bool RunUntilIdle() {
    RunPass();
    return RunUntil([this] { return manager->requests.empty(); });
  }

  LoggerStateGuard logger_state_;
  tovali::EventLoop loop;
  std::shared_ptr<DnsLogSink> sink;
  std::unique_ptr<tovali::DnsManager> manager;

 private:
  int events_before_ = 0;
};

// Records every callback of a resolver.
struct Calls {
  struct Call {
    int code;
    std::vector<tovali::DnsIPAddr> ips;
  };
  std::vector<Call> calls;

  tovali::DnsResolveCallback Callback() {
    return [this](int code, const std::vector<tovali::DnsIPAddr>& ips) {
      calls.push_back(Call{code, ips});
    };
  }
  int count() const { return static_cast<int>(calls.size()); }
};

}  // namespace tovali_test
