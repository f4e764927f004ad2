// The manager's tables: local hosts, deny lists, rotation, caches and their log lines.
#include <gmock/gmock.h>

#include "tests/tovali/Network/dns_test_support.h"

namespace tovali_test {
namespace {

using testing::ElementsAre;
using tovali::DnsIPAddr;
using tovali::DnsManager;

class DnsManagerTest : public DnsFixture {
 protected:
  void SetUp() override {
    DnsFixture::SetUp();
    manager->now_ms = [this] { return now; };
    sink->Clear();
  }

  // Reports `ips` for (domain, type) as a finished request would.
  void Deliver(const std::string& domain, int type, const std::vector<DnsIPAddr>& ips) {
    tovali::DnsRequest request(9, manager.get(), "", false);
    request.domain = domain;
    request.type = type;
    manager->OnRequestDone(ips, &request);
  }

  int64_t now = 5000;
};

TEST_F(DnsManagerTest, LogsCreateAndDeleteUnderItsTagUnlessQuiet) {
  sink->Clear();
  {
    DnsManager named(loop.base(), "[P]", false, "net");
    EXPECT_EQ(named.log.tag(), "[P][DnsMGR]");
    EXPECT_EQ(named.thread_name_prefix, "TOVALI");
    EXPECT_EQ(named.next_id, 0);
  }
  EXPECT_THAT(sink->Texts(), ElementsAre("info|net|dns_manager|[P][DnsMGR] CREATE",
                                         "info|net|dns_manager|[P][DnsMGR] DELETE"));
  sink->Clear();
  {
    DnsManager quiet(loop.base(), "", true, "");
    quiet.AddDenyIp("", "", 0);
    quiet.ClearCache("", "");
  }
  EXPECT_TRUE(sink->Texts().empty());
}

TEST_F(DnsManagerTest, LocalHostsKeepInsertionOrderFilterByTypeAndSkipDuplicates) {
  manager->AddLocalHost("h", {V4("192.0.2.1"), V6("2001:db8::1")});
  manager->AddLocalHost("h", {V4("192.0.2.1"), V4("192.0.2.2")});
  EXPECT_THAT(
      sink->Texts(),
      ElementsAre("debug|dns|dns_manager|[DnsMGR] add local host, domain: h, ip: 192.0.2.1.",
                  "debug|dns|dns_manager|[DnsMGR] add local host, domain: h, ip: 2001:db8::1.",
                  "debug|dns|dns_manager|[DnsMGR] add local host, domain: h, ip: 192.0.2.2."));
  EXPECT_THAT(manager->GetLocalHosts("h", 0), ElementsAre(V4("192.0.2.1"), V4("192.0.2.2")));
  EXPECT_THAT(manager->GetLocalHosts("h", 1), ElementsAre(V6("2001:db8::1")));
  EXPECT_THAT(manager->GetLocalHosts("h", 2),
              ElementsAre(V4("192.0.2.1"), V6("2001:db8::1"), V4("192.0.2.2")));
  EXPECT_THAT(manager->GetLocalHosts("h", 7),
              ElementsAre(V4("192.0.2.1"), V6("2001:db8::1"), V4("192.0.2.2")));
  EXPECT_TRUE(manager->GetLocalHosts("H", 2).empty());

  sink->Clear();
  manager->RemoveLocalHost("other");
  manager->RemoveLocalHost("h");
  EXPECT_TRUE(manager->GetLocalHosts("h", 2).empty());
  manager->AddLocalHost("g", {V4("192.0.2.3")});
  manager->ClearLocalHosts();
  EXPECT_TRUE(manager->local_hosts.empty());
  EXPECT_THAT(
      sink->Texts(),
      ElementsAre("debug|dns|dns_manager|[DnsMGR] remove local host, domain: h",
                  "debug|dns|dns_manager|[DnsMGR] add local host, domain: g, ip: 192.0.2.3.",
                  "debug|dns|dns_manager|[DnsMGR] local host clear."));
}

TEST_F(DnsManagerTest, AllDeniedStillHandsOutTheFirstAddress) {
  manager->AddDenyIp("d", "192.0.2.1", 1000);
  manager->AddDenyIp("d", "192.0.2.2", 1000);
  sink->Clear();
  EXPECT_THAT(manager->FilterDenyIps("d", {V4("192.0.2.1"), V4("192.0.2.2")}),
              ElementsAre(V4("192.0.2.1")));
  EXPECT_THAT(
      sink->Texts(),
      ElementsAre("debug|dns|dns_manager|[DnsMGR] filter deny ip '192.0.2.1' for 'd'",
                  "debug|dns|dns_manager|[DnsMGR] filter deny ip '192.0.2.2' for 'd'",
                  "warn|dns|dns_manager|[DnsMGR] dns ips count is 0 after filter, return first ip "
                  "in result for use."));

  // Only the text counts, not the family flag; other addresses and domains pass.
  EXPECT_THAT(manager->FilterDenyIps("d", {V6("192.0.2.1"), V4("192.0.2.3"), V4("192.0.2.2")}),
              ElementsAre(V4("192.0.2.3")));
  EXPECT_THAT(manager->FilterDenyIps("e", {V4("192.0.2.1")}), ElementsAre(V4("192.0.2.1")));
  EXPECT_TRUE(manager->FilterDenyIps("d", {}).empty());
}

TEST_F(DnsManagerTest, DenyEntryAppliesAtExactlyItsDurationAndLapsesOneMillisecondLater) {
  manager->AddDenyIp("d", "192.0.2.1", 1000);
  const std::vector<DnsIPAddr> ips = {V4("192.0.2.1"), V4("192.0.2.2")};
  now += 1000;
  EXPECT_THAT(manager->FilterDenyIps("d", ips), ElementsAre(V4("192.0.2.2")));
  now += 1;
  sink->Clear();
  EXPECT_THAT(manager->FilterDenyIps("d", ips), ElementsAre(V4("192.0.2.1"), V4("192.0.2.2")));
  EXPECT_THAT(
      sink->Texts(),
      ElementsAre("debug|dns|dns_manager|[DnsMGR] deny ip '192.0.2.1' for 'd' expired.",
                  "debug|dns|dns_manager|[DnsMGR] deny ip list for 'd' is empty now, erase it."));
  EXPECT_EQ(manager->deny_ips.count("d"), 0u);
}

TEST_F(DnsManagerTest, AddingAnAddressAgainMovesItsExpiry) {
  manager->AddDenyIp("d", "192.0.2.1", 100);
  manager->AddDenyIp("d", "192.0.2.1", 1000);
  ASSERT_EQ(manager->deny_ips["d"].size(), 1u);
  EXPECT_EQ(manager->deny_ips["d"][0].expire_ms, 6000u);
  // A duration too large to add to now never lapses rather than lapsing at once.
  manager->AddDenyIp("d", "192.0.2.2", UINT64_MAX);
  now += 1000000;
  EXPECT_THAT(manager->FilterDenyIps("d", {V4("192.0.2.2"), V4("192.0.2.3")}),
              ElementsAre(V4("192.0.2.3")));
}

TEST_F(DnsManagerTest, InvalidDenyArgumentsAndRemovalsAreLogged) {
  manager->AddDenyIp("", "192.0.2.1", 10);
  manager->AddDenyIp("d", "", 10);
  manager->AddDenyIp("d", "192.0.2.1", 0);
  EXPECT_TRUE(manager->deny_ips.empty());
  EXPECT_EQ(sink->Count("warn|dns|dns_manager|[DnsMGR] invalid deny arguments, ignore it."), 3);
  EXPECT_EQ(sink->Count("debug|dns|dns_manager|[DnsMGR] add deny ip:'192.0.2.1' domain:'d' "
                        "duration:0"),
            1);

  sink->Clear();
  manager->RemoveDenyIp("d", "192.0.2.1");
  EXPECT_THAT(sink->Texts(),
              ElementsAre("debug|dns|dns_manager|[DnsMGR] remove deny ip:'192.0.2.1' domain:'d'",
                          "debug|dns|dns_manager|[DnsMGR] deny ip list for 'd' not exists."));

  manager->AddDenyIp("d", "192.0.2.1", 10);
  manager->AddDenyIp("d", "192.0.2.2", 10);
  manager->RemoveDenyIp("d", "192.0.2.1");
  EXPECT_EQ(manager->deny_ips["d"].size(), 1u);
  manager->RemoveDenyIp("d", "192.0.2.2");
  // An emptied list stays until the next filter for the domain erases it.
  ASSERT_EQ(manager->deny_ips.count("d"), 1u);
  EXPECT_THAT(manager->FilterDenyIps("d", {V4("192.0.2.1")}), ElementsAre(V4("192.0.2.1")));
  EXPECT_EQ(manager->deny_ips.count("d"), 0u);

  manager->AddDenyIp("d", "192.0.2.1", 10);
  manager->RemoveDenyIp("d", "");
  EXPECT_EQ(manager->deny_ips.count("d"), 0u);
}

TEST_F(DnsManagerTest, RotationStartsOneFurtherOnEveryCallPerDomain) {
  const std::vector<DnsIPAddr> three = {V4("192.0.2.1"), V4("192.0.2.2"), V4("192.0.2.3")};
  std::vector<std::string> firsts;
  for (int i = 0; i < 4; ++i)
    firsts.push_back(manager->RotateIps("r", three)[0].ip);
  EXPECT_THAT(firsts, ElementsAre("192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.1"));
  EXPECT_THAT(manager->RotateIps("other", three), ElementsAre(three[0], three[1], three[2]));
  EXPECT_THAT(manager->RotateIps("r", three), ElementsAre(three[1], three[2], three[0]));
  // Counter 5 now: a two-address list starts at 5 mod 2.
  EXPECT_THAT(manager->RotateIps("r", {V4("a"), V4("b")}), ElementsAre(V4("b"), V4("a")));
  // An empty list does not advance the counter.
  EXPECT_TRUE(manager->RotateIps("r", {}).empty());
  EXPECT_EQ(manager->rotate_counters["r"], 6);
}

TEST_F(DnsManagerTest, RotationOfATwoListAfterFourCallsStartsAtZero) {
  const std::vector<DnsIPAddr> three = {V4("192.0.2.1"), V4("192.0.2.2"), V4("192.0.2.3")};
  for (int i = 0; i < 4; ++i)
    manager->RotateIps("r", three);
  EXPECT_THAT(manager->RotateIps("r", {V4("a"), V4("b")}), ElementsAre(V4("a"), V4("b")));
}

TEST_F(DnsManagerTest, NonEmptyResultsAreCachedPerTypeAndEmptyOnesNeverOverwrite) {
  Deliver("c", 0, {V4("192.0.2.1")});
  ASSERT_EQ(manager->cache_ipv4.count("c"), 1u);
  EXPECT_THAT(manager->cache_ipv4["c"].ips, ElementsAre(V4("192.0.2.1")));
  EXPECT_EQ(manager->cache_ipv4["c"].update_ms, 5000);
  EXPECT_TRUE(manager->cache_ipv6.empty());
  EXPECT_TRUE(manager->cache_both.empty());

  now = 7000;
  Deliver("c", 0, {});
  EXPECT_THAT(manager->cache_ipv4["c"].ips, ElementsAre(V4("192.0.2.1")));
  EXPECT_EQ(manager->cache_ipv4["c"].update_ms, 5000);

  Deliver("c", 1, {V6("2001:db8::1")});
  Deliver("c", 5, {V6("2001:db8::2")});
  EXPECT_EQ(&manager->GetCache(5), &manager->cache_both);
  EXPECT_THAT(manager->cache_ipv6["c"].ips, ElementsAre(V6("2001:db8::1")));
  EXPECT_THAT(manager->cache_both["c"].ips, ElementsAre(V6("2001:db8::2")));

  Deliver("c", 0, {V4("192.0.2.9")});
  EXPECT_THAT(manager->cache_ipv4["c"].ips, ElementsAre(V4("192.0.2.9")));
  EXPECT_EQ(manager->cache_ipv4["c"].update_ms, 7000);
}

TEST_F(DnsManagerTest, ClearCacheByAddressDomainOrEverything) {
  Deliver("c", 2, {V6("2001:db8::1"), V4("192.0.2.1")});
  Deliver("c", 0, {V4("192.0.2.1"), V4("192.0.2.2")});
  Deliver("c", 1, {V6("2001:db8::1")});
  Deliver("k", 0, {V4("192.0.2.7")});
  sink->Clear();

  manager->ClearCache("c", "192.0.2.1");
  EXPECT_THAT(manager->cache_both["c"].ips, ElementsAre(V6("2001:db8::1")));
  EXPECT_THAT(manager->cache_ipv4["c"].ips, ElementsAre(V4("192.0.2.2")));
  EXPECT_THAT(manager->cache_ipv6["c"].ips, ElementsAre(V6("2001:db8::1")));

  manager->ClearCache("c", "2001:db8::1");
  EXPECT_EQ(manager->cache_both.count("c"), 0u);
  EXPECT_EQ(manager->cache_ipv6.count("c"), 0u);
  EXPECT_EQ(manager->cache_ipv4.count("c"), 1u);
  manager->ClearCache("c", "198.51.100.1");
  EXPECT_THAT(sink->Texts(),
              ElementsAre("debug|dns|dns_manager|[DnsMGR] clear cache for 'c', ip '192.0.2.1'",
                          "debug|dns|dns_manager|[DnsMGR] clear cache for 'c', ip '2001:db8::1'",
                          "debug|dns|dns_manager|[DnsMGR] cache for 'c' is empty after clear ip "
                          "'2001:db8::1', delete cache.",
                          "debug|dns|dns_manager|[DnsMGR] cache for 'c' is empty after clear ip "
                          "'2001:db8::1', delete cache.",
                          "debug|dns|dns_manager|[DnsMGR] clear cache for 'c', ip '198.51.100.1'"));

  sink->Clear();
  manager->ClearCache("c", "");
  EXPECT_EQ(manager->cache_ipv4.count("c"), 0u);
  EXPECT_EQ(manager->cache_ipv4.count("k"), 1u);
  Deliver("c", 1, {V6("2001:db8::1")});
  manager->ClearCache("", "192.0.2.7");
  EXPECT_TRUE(manager->cache_ipv4.empty());
  EXPECT_TRUE(manager->cache_ipv6.empty());
  EXPECT_TRUE(manager->cache_both.empty());
  EXPECT_THAT(sink->Texts(), ElementsAre("debug|dns|dns_manager|[DnsMGR] clear cache for 'c'",
                                         "debug|dns|dns_manager|[DnsMGR] clear all caches."));
}

}  // namespace
}  // namespace tovali_test
