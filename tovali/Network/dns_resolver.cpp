#include "tovali/Network/dns_resolver.h"

#include <random>
#include <utility>

#include "tovali/Network/dns_manager.h"
#include "tovali/Network/random.h"
#include "tovali/Network/socket_util.h"
#include "tovali/log/logger.h"

namespace tovali {
namespace {

int TakeNextId(DnsManager* manager) {
  manager->next_id += 1;
  manager->next_id += 1;
  return manager->next_id;
}

}  // namespace

DnsResolver::DnsResolver(DnsManager* manager, std::string prefix, bool logs)
    : id(TakeNextId(manager)),
      manager(manager),
      prefix(std::move(prefix)),
      log(this->prefix + "[DnsRSV " + std::to_string(id) + "]", logs, manager->log.name()) {
  HLOG_DEBUG(log, "CREATE");
  timeout_timer.Init(manager->loop, [this] { OnTimeout(); });
  start_timer.Init(manager->loop, [this] { StartLookup(); });
}

DnsResolver::~DnsResolver() {
  manager->RemoveResolver(this);
  HLOG_DEBUG(log, "DELETE");
}

int DnsResolver::Resolve(std::string domain, DnsResolveCallback callback, int type) {
  if (domain.empty())
    return 1;
  if (state == 1)
    return 2;
  this->domain = std::move(domain);
  this->callback = std::move(callback);
  this->type = type;
  HLOG_DEBUG(log, "will resolve '%s' (type: %d)", this->domain.c_str(), type);
  start_timer.Start(0, 0);
  state = 1;
  return 0;
}

void DnsResolver::StartLookup() {
  std::vector<DnsIPAddr> result;
  const bool try_ipv6 = type != kDnsIPv4;
  const bool try_ipv4 = type == kDnsIPv4 || type == kDnsBoth;
  if (try_ipv6 && IsIPv6(domain)) {
    HLOG_DEBUG(log, "domain '%s' is already IPv6 address.", domain.c_str());
    result.push_back(DnsIPAddr{domain, true});
  } else if (try_ipv4 && IsIPv4(domain)) {
    HLOG_DEBUG(log, "domain '%s' is already IPv4 address.", domain.c_str());
    result.push_back(DnsIPAddr{domain, false});
  }
  if (!result.empty()) {
    NotifyResult(0, result);
    return;
  }

  std::vector<DnsIPAddr> local = manager->GetLocalHosts(domain, type);
  if (!local.empty()) {
    HLOG_DEBUG(log, "found local host for domain '%s'", domain.c_str());
    NotifyResult(0, local);
    return;
  }

  DnsManager::Cache& cache = manager->GetCache(type);
  auto entry = cache.find(domain);
  if (entry == cache.end()) {
    HLOG_DEBUG(log, "start new request for '%s'", domain.c_str());
    manager->StartRequest(this, true);
    if (timeout_ms != 0)
      timeout_timer.Start(timeout_ms, 0);
    return;
  }
  HLOG_DEBUG(log, "found cache for domain '%s'", domain.c_str());
  const int64_t now = manager->now_ms();
  const int64_t updated = entry->second.update_ms;
  // Stale when cache_ttl_ms + update_ms < now, written so that no sum can overflow.
  const bool stale = now > updated && static_cast<uint64_t>(now - updated) > cache_ttl_ms;
  if (stale) {
    HLOG_DEBUG(log, "cache expired, start new request for domain '%s', but still use old cache.",
               domain.c_str());
    manager->StartRequest(this, false);
  }
  NotifyResult(0, entry->second.ips);
}

void DnsResolver::OnFinished(const std::vector<DnsIPAddr>& ips) {
  state = 2;
  HLOG_DEBUG(log, "resolve '%s' finished", domain.c_str());
  timeout_timer.Stop();
  NotifyResult(0, ips);
}

void DnsResolver::OnTimeout() {
  state = 3;
  HLOG_WARN(log, "resolve '%s' timeout", domain.c_str());
  // The request runs on and still fills the cache; it just no longer reaches us.
  manager->RemoveResolver(this);
  NotifyResult(3, std::vector<DnsIPAddr>());
}

void DnsResolver::NotifyResult(int code, const std::vector<DnsIPAddr>& ips) {
  if (state == 1)
    state = 2;
  std::vector<DnsIPAddr> list = manager->FilterDenyIps(domain, ips);
  if (rotate) {
    HLOG_DEBUG(log, "rotate ips before callback.");
    if (!list.empty())
      list = manager->RotateIps(domain, list);
  }
  if (randomize && list.size() >= 2) {
    HLOG_DEBUG(log, "random ips before callback, first ip:%s", list[0].ip.c_str());
    std::uniform_int_distribution<int> draw(0, 100);
    const size_t index = static_cast<size_t>(draw(RandomEngine())) % list.size();
    if (index != 0) {
      std::swap(list[0], list[index]);
      HLOG_DEBUG(log, "random ips after swap, id:%zu, first ip:%s", index, list[0].ip.c_str());
    }
  }
  // One shot: the callback may delete this resolver or call Resolve again.
  DnsResolveCallback done = std::move(callback);
  callback = nullptr;
  if (done)
    done(code, list);
}

void DnsResolver::LogJoinRequest(int request_id) const {
  HLOG_DEBUG(log, "already has request:%d for domain:%s, just waiting.", request_id,
             domain.c_str());
}

void DnsResolver::LogNewRequest() const {
  HLOG_DEBUG(log, "start new request for domain:%s", domain.c_str());
}

}  // namespace tovali
