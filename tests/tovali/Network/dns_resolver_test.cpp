// Resolvers and requests without any name service: the lookups use numeric text only.
// getaddrinfo reads "192.0.513" as the shorthand of 192.0.2.1 while inet_pton (the literal test)
// does not, so such a name goes through a real request without reading /etc/hosts or asking a
// name server. An IPv4 text looked up as IPv6 fails the same way, giving an empty result.
#include <gmock/gmock.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "tests/tovali/Network/dns_test_support.h"

namespace tovali_test {
namespace {

using testing::ElementsAre;
using testing::UnorderedElementsAre;
using tovali::DnsIPAddr;
using tovali::DnsRequest;
using tovali::DnsResolver;

constexpr const char* kShort = "192.0.513";  // 192.0.2.1 for getaddrinfo only

class DnsResolverTest : public DnsFixture {
 protected:
  std::unique_ptr<DnsResolver> NewResolver(const std::string& prefix = "[T]") {
    return std::unique_ptr<DnsResolver>(new DnsResolver(manager.get(), prefix, true));
  }
};

TEST_F(DnsResolverTest, IdsAdvanceByTwoAndTagCarriesPrefixAndId) {
  sink->Clear();
  auto first = NewResolver("[DTR]");
  auto second = std::unique_ptr<DnsResolver>(new DnsResolver(manager.get(), "", false));
  EXPECT_EQ(first->id, 2);
  EXPECT_EQ(first->log.tag(), "[DTR][DnsRSV 2]");
  EXPECT_EQ(second->id, 4);
  EXPECT_EQ(second->log.tag(), "[DnsRSV 4]");
  EXPECT_EQ(first->log.name(), "dns");
  EXPECT_EQ(first->timeout_ms, 2000u);
  EXPECT_EQ(first->cache_ttl_ms, 10000u);
  first.reset();
  second.reset();
  EXPECT_THAT(sink->Texts(), ElementsAre("debug|dns|dns_resolver|[DTR][DnsRSV 2] CREATE",
                                         "debug|dns|dns_resolver|[DTR][DnsRSV 2] DELETE"));
}

TEST_F(DnsResolverTest, RefusedCallsNeverCallBackAndAcceptedOnesNeverInsideResolve) {
  auto resolver = NewResolver();
  Calls calls;
  EXPECT_EQ(resolver->Resolve("", calls.Callback(), 0), 1);
  EXPECT_EQ(resolver->Resolve("192.0.2.1", calls.Callback(), 0), 0);
  EXPECT_EQ(resolver->state, 1);
  EXPECT_EQ(resolver->Resolve("192.0.2.2", calls.Callback(), 0), 2);
  EXPECT_EQ(calls.count(), 0);
  RunPass();
  ASSERT_EQ(calls.count(), 1);
  EXPECT_THAT(calls.calls[0].ips, ElementsAre(V4("192.0.2.1")));
  EXPECT_EQ(resolver->state, 2);
  RunPass();
  EXPECT_EQ(calls.count(), 1);
}

TEST_F(DnsResolverTest, AddressLiteralsAnswerOnTheNextPassWithoutRequest) {
  auto resolver = NewResolver();
  Calls calls;
  sink->Clear();
  ASSERT_EQ(resolver->Resolve("192.0.2.1", calls.Callback(), 0), 0);
  RunPass();
  ASSERT_EQ(calls.count(), 1);
  EXPECT_EQ(calls.calls[0].code, 0);
  EXPECT_THAT(calls.calls[0].ips, ElementsAre(V4("192.0.2.1")));
  EXPECT_THAT(sink->Texts(),
              ElementsAre("debug|dns|dns_resolver|[T][DnsRSV 2] will resolve '192.0.2.1' (type: 0)",
                          "debug|dns|dns_resolver|[T][DnsRSV 2] domain '192.0.2.1' is already IPv4 "
                          "address."));

  ASSERT_EQ(resolver->Resolve("2001:db8::1", calls.Callback(), 2), 0);
  RunPass();
  ASSERT_EQ(calls.count(), 2);
  EXPECT_THAT(calls.calls[1].ips, ElementsAre(V6("2001:db8::1")));
  ASSERT_EQ(resolver->Resolve("192.0.2.1", calls.Callback(), 2), 0);
  RunPass();
  ASSERT_EQ(calls.count(), 3);
  EXPECT_THAT(calls.calls[2].ips, ElementsAre(V4("192.0.2.1")));
  ASSERT_EQ(resolver->Resolve("2001:db8::1", calls.Callback(), 7), 0);
  RunPass();
  ASSERT_EQ(calls.count(), 4);
  EXPECT_THAT(calls.calls[3].ips, ElementsAre(V6("2001:db8::1")));
  EXPECT_TRUE(manager->requests.empty());
  EXPECT_EQ(sink->CountContaining("start new request"), 0);
}

TEST_F(DnsResolverTest, LiteralOfTheOtherFamilyGoesThroughARequest) {
  auto resolver = NewResolver();
  Calls calls;
  ASSERT_EQ(resolver->Resolve("192.0.2.1", calls.Callback(), 1), 0);
  RunPass();
  EXPECT_EQ(calls.count(), 0);
  EXPECT_EQ(manager->requests.size(), 1u);
  EXPECT_EQ(sink->Count("debug|dns|dns_resolver|[T][DnsRSV 2] start new request for '192.0.2.1'"),
            1);
  ASSERT_TRUE(RunUntil([&] { return calls.count() == 1; }));
  EXPECT_EQ(calls.calls[0].code, 0);
  EXPECT_TRUE(calls.calls[0].ips.empty());
  EXPECT_TRUE(manager->cache_ipv6.empty());

  ASSERT_EQ(resolver->Resolve("2001:db8::1", calls.Callback(), 0), 0);
  ASSERT_TRUE(RunUntil([&] { return calls.count() == 2; }));
  EXPECT_TRUE(calls.calls[1].ips.empty());
  EXPECT_TRUE(manager->requests.empty());
}

TEST_F(DnsResolverTest, LocalHostsAnswerBeforeCacheAndRequest) {
  manager->AddLocalHost("box", {V4("192.0.2.5"), V6("2001:db8::5")});
  manager->cache_ipv4["box"].ips = {V4("198.51.100.1")};
  auto resolver = NewResolver();
  Calls calls;
  sink->Clear();
  ASSERT_EQ(resolver->Resolve("box", calls.Callback(), 0), 0);
  RunPass();
  ASSERT_EQ(calls.count(), 1);
  EXPECT_THAT(calls.calls[0].ips, ElementsAre(V4("192.0.2.5")));
  EXPECT_EQ(sink->Count("debug|dns|dns_resolver|[T][DnsRSV 2] found local host for domain 'box'"),
            1);
  ASSERT_EQ(resolver->Resolve("box", calls.Callback(), 2), 0);
  RunPass();
  ASSERT_EQ(calls.count(), 2);
  EXPECT_THAT(calls.calls[1].ips, ElementsAre(V4("192.0.2.5"), V6("2001:db8::5")));
  EXPECT_TRUE(manager->requests.empty());
}

TEST_F(DnsResolverTest, TwoResolversInOnePassShareOneRequestAndGetTheSameList) {
  auto a = NewResolver();
  auto b = NewResolver();
  Calls calls_a;
  Calls calls_b;
  sink->Clear();
  ASSERT_EQ(a->Resolve(kShort, calls_a.Callback(), 0), 0);
  ASSERT_EQ(b->Resolve(kShort, calls_b.Callback(), 0), 0);
  RunPass();
  EXPECT_EQ(manager->requests.size(), 1u);
  EXPECT_EQ(manager->resolvers.size(), 2u);
  EXPECT_EQ(sink->Count("debug|dns|dns_resolver|[T][DnsRSV 2] start new request for domain:" +
                        std::string(kShort)),
            1);
  EXPECT_EQ(sink->Count("debug|dns|dns_resolver|[T][DnsRSV 4] already has request:2 for domain:" +
                        std::string(kShort) + ", just waiting."),
            1);
  ASSERT_TRUE(RunUntilIdle());
  ASSERT_EQ(calls_a.count(), 1);
  ASSERT_EQ(calls_b.count(), 1);
  EXPECT_EQ(calls_a.calls[0].code, 0);
  EXPECT_THAT(calls_a.calls[0].ips, ElementsAre(V4("192.0.2.1")));
  EXPECT_THAT(calls_b.calls[0].ips, ElementsAre(V4("192.0.2.1")));
  EXPECT_TRUE(manager->resolvers.empty());
  EXPECT_EQ(sink->CountContaining("[DnsREQ"), 7);  // one request's lines, no second one
}

TEST_F(DnsResolverTest, SameNameWithAnotherTypeStartsASecondRequest) {
  auto a = NewResolver();
  auto b = NewResolver();
  auto c = NewResolver();
  Calls calls;
  ASSERT_EQ(a->Resolve(kShort, calls.Callback(), 0), 0);
  ASSERT_EQ(b->Resolve(kShort, calls.Callback(), 2), 0);
  ASSERT_EQ(c->Resolve(kShort, calls.Callback(), 1), 0);
  RunPass();
  EXPECT_EQ(manager->requests.size(), 3u);
  ASSERT_TRUE(RunUntilIdle());
  ASSERT_EQ(calls.count(), 3);
  EXPECT_THAT(manager->cache_ipv4[kShort].ips, ElementsAre(V4("192.0.2.1")));
  EXPECT_THAT(manager->cache_both[kShort].ips, ElementsAre(V4("192.0.2.1")));
  EXPECT_EQ(manager->cache_ipv6.count(kShort), 0u);
}

TEST_F(DnsResolverTest, CallbackDeletingOtherWaitingResolversDoesNotBreakTheFanOut) {
  std::vector<std::unique_ptr<DnsResolver>> resolvers;
  int calls = 0;
  for (int i = 0; i < 4; ++i)
    resolvers.push_back(NewResolver());
  for (auto& resolver : resolvers) {
    DnsResolver* self = resolver.get();
    ASSERT_EQ(resolver->Resolve(
                  kShort,
                  [&, self](int, const std::vector<DnsIPAddr>&) {
                    ++calls;
                    // Whoever is first deletes everyone else, still waiting or not.
                    for (auto& other : resolvers) {
                      if (other.get() != self)
                        other.reset();
                    }
                  },
                  0),
              0);
  }
  ASSERT_TRUE(RunUntilIdle());
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(manager->resolvers.empty());
}

TEST_F(DnsResolverTest, CallbackMayDeleteItsResolverAndANewOneFindsTheCache) {
  std::unique_ptr<DnsResolver> resolver = NewResolver();
  std::unique_ptr<DnsResolver> next;
  Calls second;
  int first_calls = 0;
  ASSERT_EQ(resolver->Resolve(
                kShort,
                [&](int code, const std::vector<DnsIPAddr>& ips) {
                  ++first_calls;
                  EXPECT_EQ(code, 0);
                  EXPECT_THAT(ips, ElementsAre(V4("192.0.2.1")));
                  resolver.reset();
                  next = NewResolver();
                  next->Resolve(kShort, second.Callback(), 0);
                },
                0),
            0);
  ASSERT_TRUE(RunUntil([&] { return second.count() == 1; }));
  EXPECT_EQ(first_calls, 1);
  EXPECT_THAT(second.calls[0].ips, ElementsAre(V4("192.0.2.1")));
  EXPECT_EQ(sink->Count("debug|dns|dns_resolver|[T][DnsRSV 4] found cache for domain '" +
                        std::string(kShort) + "'"),
            1);
  EXPECT_TRUE(manager->requests.empty());
}

TEST_F(DnsResolverTest, CallbackMayResolveAgainOnTheSameResolver) {
  auto resolver = NewResolver();
  std::vector<std::string> seen;
  std::function<void(int, const std::vector<DnsIPAddr>&)> again =
      [&](int, const std::vector<DnsIPAddr>& ips) {
        seen.push_back(ips.empty() ? "" : ips[0].ip);
        if (seen.size() == 1) {
          EXPECT_EQ(resolver->Resolve("192.0.2.9", again, 0), 0);
        }
      };
  ASSERT_EQ(resolver->Resolve(kShort, again, 0), 0);
  ASSERT_TRUE(RunUntil([&] { return seen.size() == 2; }));
  EXPECT_THAT(seen, ElementsAre("192.0.2.1", "192.0.2.9"));
}

TEST_F(DnsResolverTest, ResolverDeletedWhileWaitingIsNotCalledAndTheCacheStillFills) {
  auto resolver = NewResolver();
  Calls calls;
  ASSERT_EQ(resolver->Resolve(kShort, calls.Callback(), 0), 0);
  RunPass();
  ASSERT_EQ(manager->requests.size(), 1u);
  resolver.reset();
  EXPECT_TRUE(manager->resolvers.empty());
  ASSERT_TRUE(RunUntilIdle());
  EXPECT_EQ(calls.count(), 0);
  EXPECT_THAT(manager->cache_ipv4[kShort].ips, ElementsAre(V4("192.0.2.1")));
}

class DnsResolverCacheTest : public DnsResolverTest {
 protected:
  void SetUp() override {
    DnsResolverTest::SetUp();
    manager->now_ms = [this] { return now; };
    manager->cache_ipv4[kShort] = tovali::DnsManager::CacheEntry{{V4("198.51.100.7")}, 1000};
    manager->cache_ipv6[kShort] = tovali::DnsManager::CacheEntry{{V6("2001:db8::7")}, 1000};
  }
  int64_t now = 1000;
};

TEST_F(DnsResolverCacheTest, EntryExactlyTtlOldIsFresh) {
  auto resolver = NewResolver();
  Calls calls;
  now = 1000 + 10000;
  sink->Clear();
  ASSERT_EQ(resolver->Resolve(kShort, calls.Callback(), 0), 0);
  RunPass();
  ASSERT_EQ(calls.count(), 1);
  EXPECT_THAT(calls.calls[0].ips, ElementsAre(V4("198.51.100.7")));
  EXPECT_THAT(
      sink->Texts(),
      ElementsAre("debug|dns|dns_resolver|[T][DnsRSV 2] will resolve '192.0.513' (type: 0)",
                  "debug|dns|dns_resolver|[T][DnsRSV 2] found cache for domain '192.0.513'"));
  EXPECT_TRUE(manager->requests.empty());
}

TEST_F(DnsResolverCacheTest, OneMillisecondOlderAnswersAtOnceAndRefreshesInTheBackground) {
  auto resolver = NewResolver();
  Calls calls;
  now = 1000 + 10001;
  ASSERT_EQ(resolver->Resolve(kShort, calls.Callback(), 0), 0);
  RunPass();
  ASSERT_EQ(calls.count(), 1);
  EXPECT_EQ(calls.calls[0].code, 0);
  EXPECT_THAT(calls.calls[0].ips, ElementsAre(V4("198.51.100.7")));
  EXPECT_EQ(sink->Count("debug|dns|dns_resolver|[T][DnsRSV 2] cache expired, start new request for "
                        "domain '192.0.513', but still use old cache."),
            1);
  EXPECT_EQ(manager->requests.size(), 1u);
  EXPECT_TRUE(manager->resolvers.empty());  // not waiting for the refresh
  ASSERT_TRUE(RunUntilIdle());
  EXPECT_EQ(calls.count(), 1);
  EXPECT_THAT(manager->cache_ipv4[kShort].ips, ElementsAre(V4("192.0.2.1")));
  EXPECT_EQ(manager->cache_ipv4[kShort].update_ms, now);
}

TEST_F(DnsResolverCacheTest, EmptyRefreshLeavesTheStaleEntry) {
  auto resolver = NewResolver();
  Calls calls;
  now = 50000;
  ASSERT_EQ(resolver->Resolve(kShort, calls.Callback(), 1), 0);
  RunPass();
  ASSERT_EQ(calls.count(), 1);
  EXPECT_THAT(calls.calls[0].ips, ElementsAre(V6("2001:db8::7")));
  ASSERT_TRUE(RunUntilIdle());
  EXPECT_THAT(manager->cache_ipv6[kShort].ips, ElementsAre(V6("2001:db8::7")));
  EXPECT_EQ(manager->cache_ipv6[kShort].update_ms, 1000);
}

TEST_F(DnsResolverTest, DeniedAddressesAreFilteredAndRotationAppliesToTheRest) {
  manager->AddLocalHost("pool",
                        {V4("192.0.2.1"), V4("192.0.2.2"), V4("192.0.2.3"), V4("192.0.2.4")});
  manager->AddDenyIp("pool", "192.0.2.2", 60000);
  auto resolver = NewResolver();
  resolver->rotate = true;
  Calls calls;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(resolver->Resolve("pool", calls.Callback(), 0), 0);
    RunPass();
  }
  ASSERT_EQ(calls.count(), 4);
  EXPECT_THAT(calls.calls[0].ips, ElementsAre(V4("192.0.2.1"), V4("192.0.2.3"), V4("192.0.2.4")));
  EXPECT_THAT(calls.calls[1].ips, ElementsAre(V4("192.0.2.3"), V4("192.0.2.4"), V4("192.0.2.1")));
  EXPECT_THAT(calls.calls[2].ips, ElementsAre(V4("192.0.2.4"), V4("192.0.2.1"), V4("192.0.2.3")));
  EXPECT_THAT(calls.calls[3].ips, ElementsAre(V4("192.0.2.1"), V4("192.0.2.3"), V4("192.0.2.4")));
  EXPECT_EQ(sink->Count("debug|dns|dns_resolver|[T][DnsRSV 2] rotate ips before callback."), 4);
  // The table itself is never reordered.
  EXPECT_EQ(manager->local_hosts["pool"][0].ip, "192.0.2.1");
}

TEST_F(DnsResolverTest, RandomizeOnlyPermutesTheFirstEntry) {
  manager->AddLocalHost("pool", {V4("192.0.2.1"), V4("192.0.2.2"), V4("192.0.2.3")});
  auto resolver = NewResolver();
  resolver->randomize = true;
  Calls calls;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(resolver->Resolve("pool", calls.Callback(), 0), 0);
    RunPass();
  }
  ASSERT_EQ(calls.count(), 20);
  for (const auto& call : calls.calls) {
    ASSERT_EQ(call.ips.size(), 3u);
    EXPECT_THAT(call.ips, UnorderedElementsAre(V4("192.0.2.1"), V4("192.0.2.2"), V4("192.0.2.3")));
    // Only entry 0 and the chosen one trade places.
    int moved = 0;
    for (size_t i = 1; i < 3; ++i)
      moved += call.ips[i].ip != "192.0.2." + std::to_string(i + 1) ? 1 : 0;
    EXPECT_LE(moved, 1);
  }
  EXPECT_EQ(sink->Count("debug|dns|dns_resolver|[T][DnsRSV 2] random ips before callback, first "
                        "ip:192.0.2.1"),
            20);
  // A single address is never shuffled or logged.
  manager->AddLocalHost("one", {V4("192.0.2.9")});
  ASSERT_EQ(resolver->Resolve("one", calls.Callback(), 0), 0);
  RunPass();
  EXPECT_EQ(sink->CountContaining("random ips before callback, first ip:192.0.2.9"), 0);
}

TEST_F(DnsResolverTest, QuietResolverWritesNothing) {
  auto resolver = std::unique_ptr<DnsResolver>(new DnsResolver(manager.get(), "[Q]", false));
  Calls calls;
  sink->Clear();
  ASSERT_EQ(resolver->Resolve(kShort, calls.Callback(), 0), 0);
  ASSERT_TRUE(RunUntilIdle());
  ASSERT_EQ(calls.count(), 1);
  resolver.reset();
  EXPECT_TRUE(sink->Texts().empty());
}

TEST_F(DnsResolverTest, RequestTagThreadNameAndLogLines) {
  auto* request = new DnsRequest(7, manager.get(), "[X]", true);
  EXPECT_EQ(request->log.tag(), "[X][DnsREQ 7]");
  request->Start(kShort, 0);
  ASSERT_TRUE(RunUntil([&] { return manager->cache_ipv4.count(kShort) == 1; }));
  EXPECT_THAT(manager->cache_ipv4[kShort].ips, ElementsAre(V4("192.0.2.1")));

  std::vector<std::string> worker_lines;
  std::vector<std::string> loop_lines;
  for (const auto& line : sink->Lines()) {
    if (line.text.find("|dns_request|") == std::string::npos)
      continue;
    (line.thread == "TOVALI-DNS-7" ? worker_lines : loop_lines).push_back(line.text);
  }
  EXPECT_THAT(loop_lines,
              ElementsAre("debug|dns|dns_request|[X][DnsREQ 7] CREATE",
                          "debug|dns|dns_request|[X][DnsREQ 7] will resolve '192.0.513' in new "
                          "thread.",
                          "debug|dns|dns_request|[X][DnsREQ 7] DELETE"));
  EXPECT_THAT(
      worker_lines,
      ElementsAre("debug|dns|dns_request|[X][DnsREQ 7] resolve IPv4 for 192.0.513",
                  "debug|dns|dns_request|[X][DnsREQ 7] resolve '192.0.513' to 1 addresses:",
                  "debug|dns|dns_request|[X][DnsREQ 7] (0) IPv4 192.0.2.1",
                  "debug|dns|dns_request|[X][DnsREQ 7] resolve finished, notify resolver."));
}

TEST_F(DnsResolverTest, RequestTypesOtherThanZeroAndTwoLookUpIPv6) {
  auto* request = new DnsRequest(3, manager.get(), "", true);
  request->Start("192.0.2.1", 5);
  auto* both = new DnsRequest(5, manager.get(), "", true);
  both->Start(kShort, 2);
  ASSERT_TRUE(RunUntil([&] {
    return sink->Count("debug|dns|dns_request|[DnsREQ 3] DELETE") == 1 &&
           sink->Count("debug|dns|dns_request|[DnsREQ 5] DELETE") == 1;
  }));
  EXPECT_EQ(sink->Count("debug|dns|dns_request|[DnsREQ 3] resolve IPv6 for 192.0.2.1"), 1);
  EXPECT_EQ(sink->Count("debug|dns|dns_request|[DnsREQ 3] resolve '192.0.2.1' to 0 addresses:"), 1);
  EXPECT_EQ(
      sink->Count("debug|dns|dns_request|[DnsREQ 5] resolve both IPv4 and IPv6 for 192.0.513"), 1);
  EXPECT_THAT(manager->cache_both[kShort].ips, ElementsAre(V4("192.0.2.1")));
}

TEST_F(DnsResolverTest, QuietRequestStillReports) {
  auto* request = new DnsRequest(3, manager.get(), "", false);
  request->Start(kShort, 0);
  sink->Clear();
  ASSERT_TRUE(RunUntil([&] { return manager->cache_ipv4.count(kShort) == 1; }));
  EXPECT_EQ(sink->CountContaining("|dns_request|"), 0);
}

// With no descriptor left the request's eventfd cannot be made: the waiting resolver still gets
// exactly one empty result, and not from inside Start (the manager would then keep a request that
// had already deleted itself).
TEST_F(DnsResolverTest, FailedStartReportsAnEmptyResultLater) {
  auto resolver = NewResolver();
  Calls calls;
  ASSERT_EQ(resolver->Resolve(kShort, calls.Callback(), 0), 0);
  // UndefinedBehaviorSanitizer checks an object's type the first time through its vtable and
  // needs a free descriptor to do it: the calls that follow without one are checked here first.
  EXPECT_EQ(static_cast<tovali::DnsWaiter*>(resolver.get())->lookup_domain(), kShort);
  EXPECT_EQ(static_cast<tovali::DnsRequestHost*>(manager.get())->request_loop(), loop.base());

  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int lowest_free = dup(0);
  ASSERT_GE(lowest_free, 0);
  close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  RunPass();
  setrlimit(RLIMIT_NOFILE, &saved);

  EXPECT_EQ(sink->Count("error|dns|dns_request|[T][DnsREQ 2] init async failed: -5 (errno:24)"), 1);
  EXPECT_EQ(sink->Count("error|dns|dns_request|[T][DnsREQ 2] start async failed: -1"), 1);
  EXPECT_EQ(sink->CountContaining("in new thread"), 0);
  ASSERT_TRUE(RunUntil([&] { return calls.count() == 1; }));
  EXPECT_EQ(calls.calls[0].code, 0);
  EXPECT_TRUE(calls.calls[0].ips.empty());
  EXPECT_TRUE(manager->requests.empty());
  EXPECT_TRUE(manager->resolvers.empty());
  RunPass();
  EXPECT_EQ(calls.count(), 1);
}

// Many requests, half of them cancelled and deleted right after their start, racing their
// workers' notify; the rest report normally. Meant for ThreadSanitizer.
TEST_F(DnsResolverTest, CancelRacingTheWorkersNotify) {
  constexpr int kRequests = 40;
  int cancelled = 0;
  for (int i = 0; i < kRequests; ++i) {
    auto* request = new DnsRequest(100 + i, manager.get(), "", true);
    request->Start(i % 4 == 0 ? "192.0.2.1" : kShort, i % 3);
    if (i % 2 == 0) {
      request->Cancel();
      delete request;
      ++cancelled;
    } else {
      manager->requests.insert(request);
    }
  }
  ASSERT_TRUE(RunUntilIdle());
  EXPECT_EQ(sink->CountContaining("cancel request."), cancelled);
  EXPECT_LE(sink->CountContaining("request has been cancelled, notify failed."), cancelled);
  EXPECT_EQ(sink->CountContaining("] DELETE"), kRequests);
}

}  // namespace
}  // namespace tovali_test
