// What name resolution shares across users: result caches per type, local hosts, per-domain
// deny lists and rotation counters, the in-flight requests and the resolvers waiting for them.
// One lookup runs per (domain, type) at a time however many resolvers ask; its result is fanned
// out to every waiting resolver. Every method runs on the loop thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tovali/Network/dns_request.h"
#include "tovali/log/log_handle.h"

struct event_base;

namespace tovali {

// A resolver as the manager sees it: the lookup it waits for, and where the result goes.
class DnsWaiter {
 public:
  virtual const std::string& lookup_domain() const = 0;
  virtual int lookup_type() const = 0;
  virtual int lookup_id() const = 0;
  // The resolver's tag prefix, which its requests take over.
  virtual const std::string& lookup_prefix() const = 0;
  virtual bool logs() const = 0;
  // The result, after the manager stopped counting this waiter; may delete any resolver.
  virtual void OnFinished(const std::vector<DnsIPAddr>& ips) = 0;
  // The manager's StartRequest lines, written as this resolver's.
  virtual void LogJoinRequest(int request_id) const = 0;
  virtual void LogNewRequest() const = 0;

 protected:
  ~DnsWaiter() = default;
};

class DnsManager final : public DnsRequestHost {
 public:
  struct CacheEntry {
    std::vector<DnsIPAddr> ips;  // last non-empty result
    int64_t update_ms = 0;       // monotonic ms when stored
  };
  struct DenyEntry {
    std::string ip;
    uint64_t expire_ms = 0;  // still applies at exactly this monotonic ms
  };
  using Cache = std::map<std::string, CacheEntry>;

  // The tag is `prefix` + "[DnsMGR]"; `quiet` silences every line of the manager.
  DnsManager(event_base* loop, std::string prefix, bool quiet, std::string log_name);
  // Cancels and deletes the requests still in flight without waiting for their workers: a
  // lookup that blocks ends on its own and reports nothing. Resolvers must have been deleted
  // before.
  ~DnsManager();

  DnsManager(const DnsManager&) = delete;
  DnsManager& operator=(const DnsManager&) = delete;

  // Makes sure a request for the resolver's domain and type is in flight; with `wait` the
  // resolver is also given its result through DnsWaiter::OnFinished. Never calls back.
  void StartRequest(DnsWaiter* resolver, bool wait);
  // A request finished (`ips` may be empty): a non-empty result is cached, then every resolver
  // waiting for the request's domain and type is handed `ips`. Their callbacks may delete any
  // resolver.
  void OnRequestDone(const std::vector<DnsIPAddr>& ips, DnsRequest* request) override;
  void RemoveResolver(DnsWaiter* resolver);
  event_base* request_loop() const override { return loop; }
  const std::string& request_thread_prefix() const override { return thread_name_prefix; }
  const std::string& request_log_name() const override { return log.name(); }
  // 0 -> cache_ipv4, 1 -> cache_ipv6, any other type -> cache_both.
  Cache& GetCache(int type);
  // Local host entries of `domain` filtered by type (0 IPv4, 1 IPv6, other both), in order.
  std::vector<DnsIPAddr> GetLocalHosts(const std::string& domain, int type);
  // `ips` without the domain's denied addresses. A non-empty input never yields an empty
  // output: when everything is denied the first address is returned anyway.
  std::vector<DnsIPAddr> FilterDenyIps(const std::string& domain,
                                       const std::vector<DnsIPAddr>& ips);
  // Left rotation by the domain's counter, which advances on every call with a non-empty list.
  std::vector<DnsIPAddr> RotateIps(const std::string& domain, const std::vector<DnsIPAddr>& ips);

  void AddLocalHost(const std::string& domain, const std::vector<DnsIPAddr>& ips);
  void RemoveLocalHost(const std::string& domain);
  void ClearLocalHosts();
  void AddDenyIp(const std::string& domain, const std::string& ip, uint64_t duration_ms);
  // An empty `ip` removes the domain's whole list.
  void RemoveDenyIp(const std::string& domain, const std::string& ip);
  // Empty domain: every cache. Domain only: the domain in every cache. Both: that address.
  void ClearCache(const std::string& domain, const std::string& ip);

  event_base* loop;
  // Tag `prefix` + "[DnsMGR]", silent when quiet; its name is the resolvers' and requests' too.
  LogHandle log;
  std::string thread_name_prefix;  // copied into each request's worker; never changes
  std::set<DnsWaiter*> resolvers;
  std::set<DnsRequest*> requests;
  std::map<std::string, std::vector<DnsIPAddr>> local_hosts;
  Cache cache_both;
  Cache cache_ipv4;
  Cache cache_ipv6;
  std::map<std::string, std::vector<DenyEntry>> deny_ips;
  std::map<std::string, int> rotate_counters;
  int next_id = 0;
  // Monotonic milliseconds for cache ages and deny expiry; tests may replace it.
  std::function<int64_t()> now_ms;

 private:
  void UpdateCache(const std::string& domain, const std::vector<DnsIPAddr>& ips, int type);
  // Prunes expired entries of `list` on the way.
  bool IsDenied(const std::string& domain, std::vector<DenyEntry>* list, const DnsIPAddr& address);
  void RemoveCachedIp(Cache* cache, const std::string& domain, const std::string& ip);
};

}  // namespace tovali
