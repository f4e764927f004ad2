// Turns a host name into addresses without blocking the loop: from an address literal, the
// manager's local hosts or cache when possible, otherwise by joining or starting a DnsRequest
// and waiting up to timeout_ms. Every method runs on the loop thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tovali/Network/dns_manager.h"
#include "tovali/Network/dns_request.h"
#include "tovali/Network/event_loop.h"
#include "tovali/log/log_handle.h"

namespace tovali {

class DnsResolver final : public DnsWaiter {
 public:
  // `manager` must outlive the resolver. `log` false silences every line of the resolver.
  DnsResolver(DnsManager* manager, std::string prefix, bool log);
  // Allowed at any time, also from inside the resolver's own callback. A request this
  // resolver started is not cancelled: it still fills the cache for others.
  ~DnsResolver();

  DnsResolver(const DnsResolver&) = delete;
  DnsResolver& operator=(const DnsResolver&) = delete;

  // 0 accepted: `callback` (non-empty) then runs exactly once, from a later loop iteration and
  // never inside Resolve, unless the resolver is deleted first. 1 empty domain, 2 a resolution
  // is in progress; nothing is called back for a refused call. `type`: 0 IPv4, 1 IPv6, 2 both.
  // The callback may delete the resolver or call Resolve again.
  int Resolve(std::string domain, DnsResolveCallback callback, int type);

  // From the manager's OnRequestDone, after it stopped counting this resolver as waiting.
  void OnFinished(const std::vector<DnsIPAddr>& ips) override;
  // The manager's StartRequest lines, written as this resolver's.
  void LogJoinRequest(int request_id) const override;
  void LogNewRequest() const override;
  const std::string& lookup_domain() const override { return domain; }
  int lookup_type() const override { return type; }
  int lookup_id() const override { return id; }
  const std::string& lookup_prefix() const override { return prefix; }
  bool logs() const override { return log.enabled(); }

  int id;
  DnsManager* manager;
  std::string prefix;
  LogHandle log;  // tag `prefix` + "[DnsRSV id]", the manager's name
  bool rotate = false;
  uint64_t cache_ttl_ms = 10000;  // an older cache entry is refreshed, but still used
  uint64_t timeout_ms = 2000;     // 0: wait for the request as long as it takes
  std::string domain;
  int type = 0;
  DnsResolveCallback callback;
  Timer timeout_timer;
  Timer start_timer;
  int state = 0;  // 0 idle, 1 resolving, 2 finished, 3 timed out
  bool randomize = false;

 private:
  void StartLookup();
  void OnTimeout();
  void NotifyResult(int code, const std::vector<DnsIPAddr>& ips);
};

}  // namespace tovali
