#include "tovali/Network/dns_manager.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "tovali/Network/socket_util.h"
#include "tovali/log/logger.h"
#include "tovali/util/clock.h"

namespace tovali {

DnsManager::DnsManager(event_base* loop, std::string prefix, bool quiet, std::string log_name)
    : loop(loop),
      log(std::move(prefix) + "[DnsMGR]", !quiet, std::move(log_name)),
      thread_name_prefix("TOVALI"),
      now_ms(MonotonicMs) {
  HLOG_INFO(log, "CREATE");
}

DnsManager::~DnsManager() {
  std::set<DnsRequest*> pending;
  pending.swap(requests);
  for (DnsRequest* request : pending) {
    request->Cancel();
    delete request;  // a worker still running is left to end on its own
  }
  HLOG_INFO(log, "DELETE");
}

void DnsManager::StartRequest(DnsWaiter* resolver, bool wait) {
  if (wait)
    resolvers.insert(resolver);
  for (DnsRequest* request : requests) {
    if (request->domain == resolver->lookup_domain() && request->type == resolver->lookup_type()) {
      resolver->LogJoinRequest(request->id);
      return;
    }
  }
  resolver->LogNewRequest();
  DnsRequest* request =
      new DnsRequest(resolver->lookup_id(), this, resolver->lookup_prefix(), resolver->logs());
  request->Start(resolver->lookup_domain(), resolver->lookup_type());
  requests.insert(request);
}

void DnsManager::OnRequestDone(const std::vector<DnsIPAddr>& ips, DnsRequest* request) {
  if (!ips.empty())
    UpdateCache(request->domain, ips, request->type);
  // A callback may delete any resolver, so look again from the start after each delivery.
  for (;;) {
    auto it = std::find_if(resolvers.begin(), resolvers.end(), [request](DnsWaiter* r) {
      return r->lookup_domain() == request->domain && r->lookup_type() == request->type;
    });
    if (it == resolvers.end())
      break;
    DnsWaiter* resolver = *it;
    resolvers.erase(it);
    resolver->OnFinished(ips);
  }
  requests.erase(request);
}

void DnsManager::UpdateCache(const std::string& domain, const std::vector<DnsIPAddr>& ips,
                             int type) {
  if (domain.empty() || ips.empty())
    return;
  CacheEntry& entry = GetCache(type)[domain];
  entry.ips = ips;
  entry.update_ms = now_ms();
}

void DnsManager::RemoveResolver(DnsWaiter* resolver) {
  resolvers.erase(resolver);
}

DnsManager::Cache& DnsManager::GetCache(int type) {
  if (type == kDnsIPv4)
    return cache_ipv4;
  if (type == kDnsIPv6)
    return cache_ipv6;
  return cache_both;
}

std::vector<DnsIPAddr> DnsManager::GetLocalHosts(const std::string& domain, int type) {
  std::vector<DnsIPAddr> out;
  auto it = local_hosts.find(domain);
  if (it == local_hosts.end())
    return out;
  for (const DnsIPAddr& addr : it->second) {
    if ((type == kDnsIPv4 && addr.is_ipv6) || (type == kDnsIPv6 && !addr.is_ipv6))
      continue;
    out.push_back(addr);
  }
  return out;
}

std::vector<DnsIPAddr> DnsManager::FilterDenyIps(const std::string& domain,
                                                 const std::vector<DnsIPAddr>& ips) {
  auto list = deny_ips.find(domain);
  if (list == deny_ips.end())
    return ips;
  std::vector<DnsIPAddr> out;
  for (const DnsIPAddr& addr : ips) {
    if (IsDenied(domain, &list->second, addr)) {
      HLOG_DEBUG(log, "filter deny ip '%s' for '%s'", addr.ip.c_str(), domain.c_str());
    } else {
      out.push_back(addr);
    }
  }
  if (list->second.empty()) {
    HLOG_DEBUG(log, "deny ip list for '%s' is empty now, erase it.", domain.c_str());
    deny_ips.erase(list);
  }
  if (out.empty() && !ips.empty()) {
    HLOG_WARN(log, "dns ips count is 0 after filter, return first ip in result for use.");
    out.push_back(ips.front());
  }
  return out;
}

bool DnsManager::IsDenied(const std::string& domain, std::vector<DenyEntry>* list,
                          const DnsIPAddr& address) {
  const uint64_t now = static_cast<uint64_t>(now_ms());
  for (auto it = list->begin(); it != list->end();) {
    if (it->expire_ms < now) {
      HLOG_DEBUG(log, "deny ip '%s' for '%s' expired.", it->ip.c_str(), domain.c_str());
      it = list->erase(it);
      continue;
    }
    if (it->ip == address.ip)
      return true;
    ++it;
  }
  return false;
}

std::vector<DnsIPAddr> DnsManager::RotateIps(const std::string& domain,
                                             const std::vector<DnsIPAddr>& ips) {
  if (ips.empty())
    return ips;
  int& counter = rotate_counters[domain];
  const unsigned k = static_cast<unsigned>(counter);
  counter = static_cast<int>(k + 1u);  // wraps instead of overflowing
  const size_t n = ips.size();
  const size_t shift = k % n;
  if (shift == 0)
    return ips;
  std::vector<DnsIPAddr> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i)
    out.push_back(ips[(i + shift) % n]);
  return out;
}

void DnsManager::AddLocalHost(const std::string& domain, const std::vector<DnsIPAddr>& ips) {
  std::vector<DnsIPAddr>& entries = local_hosts[domain];
  for (const DnsIPAddr& addr : ips) {
    bool known = std::any_of(entries.begin(), entries.end(),
                             [&addr](const DnsIPAddr& e) { return e.ip == addr.ip; });
    if (known)
      continue;
    entries.push_back(addr);
    HLOG_DEBUG(log, "add local host, domain: %s, ip: %s.", domain.c_str(), addr.ip.c_str());
  }
}

void DnsManager::RemoveLocalHost(const std::string& domain) {
  auto it = local_hosts.find(domain);
  if (it == local_hosts.end())
    return;
  HLOG_DEBUG(log, "remove local host, domain: %s", domain.c_str());
  local_hosts.erase(it);
}

void DnsManager::ClearLocalHosts() {
  HLOG_DEBUG(log, "local host clear.");
  local_hosts.clear();
}

void DnsManager::AddDenyIp(const std::string& domain, const std::string& ip, uint64_t duration_ms) {
  HLOG_DEBUG(log, "add deny ip:'%s' domain:'%s' duration:%llu", ip.c_str(), domain.c_str(),
             static_cast<unsigned long long>(duration_ms));
  if (domain.empty() || ip.empty() || duration_ms == 0) {
    HLOG_WARN(log, "invalid deny arguments, ignore it.");
    return;
  }
  const uint64_t now = static_cast<uint64_t>(now_ms());
  // Saturate: a huge duration means "for good", not an entry that is already expired.
  const uint64_t expire = duration_ms > std::numeric_limits<uint64_t>::max() - now
                              ? std::numeric_limits<uint64_t>::max()
                              : now + duration_ms;
  auto list = deny_ips.find(domain);
  if (list == deny_ips.end()) {
    deny_ips[domain].push_back(DenyEntry{ip, expire});
    return;
  }
  for (DenyEntry& entry : list->second) {
    if (entry.ip == ip) {
      entry.expire_ms = expire;
      return;
    }
  }
  list->second.push_back(DenyEntry{ip, expire});
}

void DnsManager::RemoveDenyIp(const std::string& domain, const std::string& ip) {
  HLOG_DEBUG(log, "remove deny ip:'%s' domain:'%s'", ip.c_str(), domain.c_str());
  auto list = deny_ips.find(domain);
  if (list == deny_ips.end()) {
    HLOG_DEBUG(log, "deny ip list for '%s' not exists.", domain.c_str());
    return;
  }
  if (ip.empty()) {
    deny_ips.erase(list);
    return;
  }
  auto& entries = list->second;
  auto it = std::find_if(entries.begin(), entries.end(),
                         [&ip](const DenyEntry& e) { return e.ip == ip; });
  if (it != entries.end())
    entries.erase(it);
}

void DnsManager::ClearCache(const std::string& domain, const std::string& ip) {
  if (domain.empty()) {
    HLOG_DEBUG(log, "clear all caches.");
    cache_both.clear();
    cache_ipv4.clear();
    cache_ipv6.clear();
    return;
  }
  if (ip.empty()) {
    HLOG_DEBUG(log, "clear cache for '%s'", domain.c_str());
    cache_both.erase(domain);
    cache_ipv4.erase(domain);
    cache_ipv6.erase(domain);
    return;
  }
  HLOG_DEBUG(log, "clear cache for '%s', ip '%s'", domain.c_str(), ip.c_str());
  RemoveCachedIp(&cache_both, domain, ip);
  RemoveCachedIp(IsIPv6(ip) ? &cache_ipv6 : &cache_ipv4, domain, ip);
}

void DnsManager::RemoveCachedIp(Cache* cache, const std::string& domain, const std::string& ip) {
  auto entry = cache->find(domain);
  if (entry == cache->end())
    return;
  auto& ips = entry->second.ips;
  auto it =
      std::find_if(ips.begin(), ips.end(), [&ip](const DnsIPAddr& addr) { return addr.ip == ip; });
  if (it == ips.end())
    return;
  ips.erase(it);
  if (ips.empty()) {
    HLOG_DEBUG(log, "cache for '%s' is empty after clear ip '%s', delete cache.", domain.c_str(),
               ip.c_str());
    cache->erase(entry);
  }
}

}  // namespace tovali
