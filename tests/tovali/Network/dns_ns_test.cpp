// Name resolution through the host's own name service, inside the private namespaces of the
// test wrapper: /etc/hosts, /etc/nsswitch.conf and /etc/resolv.conf are bind-mounted per test,
// and the only name server is a fake one on 127.0.0.1:53 that answers when the test lets it.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "support/temp_dir.h"
#include "tests/tovali/Network/dns_test_support.h"

namespace tovali_test {
namespace {

using testing::ElementsAre;
using tovali::DnsIPAddr;
using tovali::DnsRequest;
using tovali::DnsResolver;

std::string NamespaceOf(const std::string& pid, const char* kind) {
  char link[256] = {0};
  std::string path = "/proc/" + pid + "/ns/" + kind;
  ssize_t n = readlink(path.c_str(), link, sizeof(link) - 1);
  return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

// True only inside the wrapper's namespaces, where covering /etc files is safe: mount and
// network namespaces other than those of the process that started us (the wrapper execs us in
// fresh ones), and the wrapper's host name. Anything unreadable counts as "not inside".
bool InPrivateNamespaces() {
  const std::string parent = std::to_string(getppid());
  for (const char* kind : {"mnt", "net"}) {
    std::string mine = NamespaceOf("self", kind);
    std::string theirs = NamespaceOf(parent, kind);
    if (mine.empty() || theirs.empty() || mine == theirs)
      return false;
  }
  char name[256] = {0};
  return gethostname(name, sizeof(name) - 1) == 0 && std::string(name) == "palvex-test";
}

// Covers `target` with a file holding `content` until destroyed.
class FileCover {
 public:
  FileCover(const TempDir& dir, const std::string& target, const std::string& content)
      : target_(target) {
    std::string source = dir.File(std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::ofstream(source) << content;
    mounted_ = mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
  }
  ~FileCover() {
    if (mounted_)
      umount2(target_.c_str(), 0);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string target_;
  bool mounted_ = false;
};

// A name server on 127.0.0.1:53 that answers every A query with `ipv4` and every AAAA query
// with no record, but only once released; queries arriving before are held.
class FakeNameServer {
 public:
  explicit FakeNameServer(std::string ipv4) : ipv4_(std::move(ipv4)) {}
  ~FakeNameServer() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
      }
      Wake();
      thread_.join();
    }
    if (fd_ >= 0)
      close(fd_);
    if (wake_fd_ >= 0)
      close(wake_fd_);
  }

  bool Start() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    wake_fd_ = eventfd(0, EFD_CLOEXEC);
    if (fd_ < 0 || wake_fd_ < 0)
      return false;
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(53);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
      return false;
    thread_ = std::thread([this] { Serve(); });
    return true;
  }

  // Any thread.
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    Wake();
  }
  bool WaitForQueries(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return seen_.wait_for(lock, std::chrono::seconds(10), [&] { return queries_ >= n; });
  }

 private:
  struct Held {
    std::string query;
    sockaddr_in from;
  };

  void Wake() {
    uint64_t one = 1;
    ssize_t n = write(wake_fd_, &one, sizeof(one));
    (void)n;
  }

  void Serve() {
    std::vector<Held> held;
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0)
        continue;
      bool released;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_)
          return;
        released = released_;
      }
      if (fds[1].revents & POLLIN) {
        uint64_t count;
        ssize_t n = read(wake_fd_, &count, sizeof(count));
        (void)n;
      }
      if (fds[0].revents & POLLIN) {
        char buffer[512];
        Held q;
        socklen_t length = sizeof(q.from);
        ssize_t n =
            recvfrom(fd_, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&q.from), &length);
        if (n > 12) {
          q.query.assign(buffer, static_cast<size_t>(n));
          held.push_back(q);
          std::lock_guard<std::mutex> lock(mutex_);
          ++queries_;
          seen_.notify_all();
        }
      }
      if (released) {
        for (const Held& q : held)
          Answer(q);
        held.clear();
      }
    }
  }

  void Answer(const Held& q) {
    const std::string& in = q.query;
    size_t p = 12;
    while (p < in.size() && in[p] != 0)
      p += static_cast<unsigned char>(in[p]) + 1;
    if (p + 5 > in.size())
      return;
    const size_t question_end = p + 5;
    const bool is_a = in[p + 1] == 0 && in[p + 2] == 1;
    std::string out = in.substr(0, 2);
    out += static_cast<char>(0x80 | (in[2] & 0x01));  // response, recursion desired echoed
    out += static_cast<char>(0x80);                   // recursion available, no error
    out += std::string("\0\1", 2);                    // one question
    out += std::string("\0", 1) + static_cast<char>(is_a ? 1 : 0);
    out += std::string(4, '\0');
    out += in.substr(12, question_end - 12);
    if (is_a) {
      in_addr address;
      inet_pton(AF_INET, ipv4_.c_str(), &address);
      out += std::string("\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4", 12);
      out.append(reinterpret_cast<const char*>(&address), 4);
    }
    sendto(fd_, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&q.from),
           sizeof(q.from));
  }

  std::string ipv4_;
  int fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable seen_;
  bool stop_ = false;
  bool released_ = false;
  int queries_ = 0;
};

class DnsNsTest : public DnsFixture {
 protected:
  void SetUp() override {
    if (!InPrivateNamespaces())
      GTEST_SKIP() << "needs the private namespaces of tests/tools/netns-run";
    DnsFixture::SetUp();
    ASSERT_FALSE(dir_.path().empty());
    nsswitch_.reset(new FileCover(dir_, "/etc/nsswitch.conf", "hosts: files dns\n"));
    resolv_.reset(new FileCover(dir_, "/etc/resolv.conf",
                                "nameserver 127.0.0.1\noptions timeout:10 attempts:1\n"));
    hosts_.reset(new FileCover(dir_, "/etc/hosts",
                               "127.0.0.1 localhost\n"
                               "192.0.2.10 dual.test\n"
                               "2001:db8::10 dual.test\n"
                               "192.0.2.11 dual.test\n"
                               "2001:db8::11 dual.test\n"
                               "192.0.2.10 dual.test\n"
                               "2001:db8::20 six.test\n"));
    ASSERT_TRUE(nsswitch_->mounted() && resolv_->mounted() && hosts_->mounted());
    sink->Clear();
  }
  void TearDown() override {
    if (IsSkipped())
      return;
    DnsFixture::TearDown();
  }

  std::unique_ptr<DnsResolver> NewResolver() {
    return std::unique_ptr<DnsResolver>(new DnsResolver(manager.get(), "[N]", true));
  }

  TempDir dir_;
  std::unique_ptr<FileCover> nsswitch_;
  std::unique_ptr<FileCover> resolv_;
  std::unique_ptr<FileCover> hosts_;
};

TEST_F(DnsNsTest, BothFamiliesGiveIPv6FirstWithoutDuplicates) {
  auto resolver = NewResolver();
  Calls calls;
  ASSERT_EQ(resolver->Resolve("dual.test", calls.Callback(), 2), 0);
  ASSERT_TRUE(RunUntil([&] { return calls.count() == 1; }));
  const std::vector<DnsIPAddr> ips = calls.calls[0].ips;
  ASSERT_EQ(ips.size(), 4u);
  EXPECT_TRUE(ips[0].is_ipv6 && ips[1].is_ipv6 && !ips[2].is_ipv6 && !ips[3].is_ipv6);
  EXPECT_THAT(ips, testing::UnorderedElementsAre(V6("2001:db8::10"), V6("2001:db8::11"),
                                                 V4("192.0.2.10"), V4("192.0.2.11")));
  EXPECT_EQ(sink->Count("debug|dns|dns_request|[N][DnsREQ 2] resolve 'dual.test' to 4 addresses:"),
            1);

  ASSERT_EQ(resolver->Resolve("dual.test", calls.Callback(), 0), 0);
  ASSERT_TRUE(RunUntil([&] { return calls.count() == 2; }));
  EXPECT_THAT(calls.calls[1].ips, ElementsAre(V4("192.0.2.10"), V4("192.0.2.11")));
  EXPECT_THAT(manager->cache_both["dual.test"].ips, testing::ContainerEq(ips));
}

TEST_F(DnsNsTest, IPv4LookupOfAnIPv6OnlyNameIsEmpty) {
  auto resolver = NewResolver();
  Calls calls;
  ASSERT_EQ(resolver->Resolve("six.test", calls.Callback(), 1), 0);
  ASSERT_TRUE(RunUntil([&] { return calls.count() == 1; }));
  EXPECT_THAT(calls.calls[0].ips, ElementsAre(V6("2001:db8::20")));

  // No A record in the files, and nobody listens on the name server's port.
  ASSERT_EQ(resolver->Resolve("six.test", calls.Callback(), 0), 0);
  ASSERT_TRUE(RunUntil([&] { return calls.count() == 2; }));
  EXPECT_EQ(calls.calls[1].code, 0);
  EXPECT_EQ(sink->Count("debug|dns|dns_request|[N][DnsREQ 2] resolve 'six.test' to 0 addresses:"),
            1);
}

TEST_F(DnsNsTest, SlowLookupTimesOutOnceAndStillFillsTheCache) {
  FakeNameServer server("192.0.2.50");
  ASSERT_TRUE(server.Start());
  auto resolver = NewResolver();
  resolver->timeout_ms = 50;
  Calls calls;
  ASSERT_EQ(resolver->Resolve(
                "slow.test",
                [&](int code, const std::vector<DnsIPAddr>& ips) {
                  calls.calls.push_back(Calls::Call{code, ips});
                  server.Release();
                },
                0),
            0);
  ASSERT_TRUE(RunUntil([&] { return calls.count() == 1; }));
  EXPECT_EQ(calls.calls[0].code, 3);
  EXPECT_TRUE(calls.calls[0].ips.empty());
  EXPECT_EQ(resolver->state, 3);
  EXPECT_EQ(sink->Count("warn|dns|dns_resolver|[N][DnsRSV 2] resolve 'slow.test' timeout"), 1);

  ASSERT_TRUE(RunUntilIdle());
  EXPECT_EQ(calls.count(), 1);
  EXPECT_THAT(manager->cache_ipv4["slow.test"].ips, ElementsAre(V4("192.0.2.50")));
}

TEST_F(DnsNsTest, TimeoutCallbackMayDeleteTheResolver) {
  FakeNameServer server("192.0.2.54");
  ASSERT_TRUE(server.Start());
  auto resolver = NewResolver();
  resolver->timeout_ms = 10;
  int calls = 0;
  ASSERT_EQ(resolver->Resolve(
                "slow.test",
                [&](int code, const std::vector<DnsIPAddr>&) {
                  ++calls;
                  EXPECT_EQ(code, 3);
                  resolver.reset();
                  server.Release();
                },
                0),
            0);
  ASSERT_TRUE(RunUntil([&] { return calls == 1; }));
  ASSERT_TRUE(RunUntilIdle());
  EXPECT_EQ(calls, 1);
  EXPECT_THAT(manager->cache_ipv4["slow.test"].ips, ElementsAre(V4("192.0.2.54")));
}

TEST_F(DnsNsTest, ResolveAgainAfterATimeoutJoinsTheRunningRequest) {
  FakeNameServer server("192.0.2.51");
  ASSERT_TRUE(server.Start());
  auto resolver = NewResolver();
  resolver->timeout_ms = 20;
  Calls calls;
  ASSERT_EQ(resolver->Resolve("slow.test", calls.Callback(), 0), 0);
  ASSERT_TRUE(RunUntil([&] { return calls.count() == 1; }));
  resolver->timeout_ms = 0;
  ASSERT_EQ(resolver->Resolve("slow.test", calls.Callback(), 0), 0);
  RunPass();
  EXPECT_EQ(sink->Count("debug|dns|dns_resolver|[N][DnsRSV 2] already has request:2 for "
                        "domain:slow.test, just waiting."),
            1);
  server.Release();
  ASSERT_TRUE(RunUntil([&] { return calls.count() == 2; }));
  EXPECT_EQ(calls.calls[1].code, 0);
  EXPECT_THAT(calls.calls[1].ips, ElementsAre(V4("192.0.2.51")));
}

TEST_F(DnsNsTest, CancelledRequestOnlyWarnsWhenItsWorkerFinishes) {
  FakeNameServer server("192.0.2.52");
  ASSERT_TRUE(server.Start());
  auto resolver = NewResolver();
  resolver->timeout_ms = 0;
  Calls calls;
  ASSERT_EQ(resolver->Resolve("slow.test", calls.Callback(), 0), 0);
  RunPass();
  ASSERT_EQ(manager->requests.size(), 1u);
  ASSERT_TRUE(server.WaitForQueries(1));
  DnsRequest* request = *manager->requests.begin();
  request->Cancel();
  server.Release();
  const std::string warn =
      "warn|dns|dns_request|[N][DnsREQ 2] request has been cancelled, notify failed.";
  ASSERT_TRUE(sink->WaitFor(warn));
  RunPass();
  RunPass();
  EXPECT_EQ(calls.count(), 0);
  EXPECT_EQ(manager->requests.size(), 1u);  // no OnRequestDone
  EXPECT_TRUE(manager->cache_ipv4.empty());
  EXPECT_EQ(sink->Count(warn), 1);
  EXPECT_EQ(sink->Count("info|dns|dns_request|[N][DnsREQ 2] cancel request."), 1);
  resolver.reset();
}

// The end of a run never waits for a lookup that blocks: the manager goes at once, and the
// worker, answered later, reports nothing and only warns.
TEST_F(DnsNsTest, DestroyingTheManagerDuringALookupDoesNotWaitForTheWorker) {
  FakeNameServer server("192.0.2.53");
  ASSERT_TRUE(server.Start());
  auto resolver = NewResolver();
  Calls calls;
  ASSERT_EQ(resolver->Resolve("slow.test", calls.Callback(), 0), 0);
  RunPass();
  ASSERT_TRUE(server.WaitForQueries(1));
  resolver.reset();
  manager.reset();
  server.Release();
  const std::string warn =
      "warn|dns|dns_request|[N][DnsREQ 2] request has been cancelled, notify failed.";
  ASSERT_TRUE(sink->WaitFor(warn));
  EXPECT_EQ(calls.count(), 0);
  std::vector<std::string> tail;
  bool after_cancel = false;
  for (const std::string& text : sink->Texts()) {
    after_cancel = after_cancel || text.find("cancel request.") != std::string::npos;
    if (after_cancel)
      tail.push_back(text);
  }
  EXPECT_THAT(
      tail,
      ElementsAre("info|dns|dns_request|[N][DnsREQ 2] cancel request.",
                  "debug|dns|dns_request|[N][DnsREQ 2] DELETE",
                  "info|dns|dns_manager|[DnsMGR] DELETE",
                  "debug|dns|dns_request|[N][DnsREQ 2] resolve 'slow.test' to 1 addresses:",
                  "debug|dns|dns_request|[N][DnsREQ 2] (0) IPv4 192.0.2.53",
                  "debug|dns|dns_request|[N][DnsREQ 2] resolve finished, notify resolver.", warn));
}

}  // namespace
}  // namespace tovali_test
