// One blocking host-name lookup for one (domain, type) pair, run on a thread of its own and
// handed back to the loop thread. Only DnsManager creates, starts, cancels and deletes requests;
// a request that reported its result deletes itself.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tovali/Network/event_loop.h"

namespace tovali {

class DnsManager;

// One resolved address, as inet_ntop writes it (no port, no scope).
struct DnsIPAddr {
  std::string ip;
  bool is_ipv6 = false;
};

// Resolution types. Any value other than kDnsIPv4 and kDnsBoth behaves as kDnsIPv6.
constexpr int kDnsIPv4 = 0;
constexpr int kDnsIPv6 = 1;
constexpr int kDnsBoth = 2;

// Result of a DnsResolver: code 0 finished (the list may be empty), code 3 timed out (empty).
using DnsResolveCallback = std::function<void(int code, const std::vector<DnsIPAddr>& ips)>;

class DnsRequest {
 public:
  // Loop thread. `log` false makes the request write no log line at all.
  DnsRequest(int id, DnsManager* manager, std::string prefix, bool log);
  // Waits for a worker that still runs before releasing anything the worker reads.
  ~DnsRequest();

  DnsRequest(const DnsRequest&) = delete;
  DnsRequest& operator=(const DnsRequest&) = delete;

  // Loop thread, once, right after construction. Never reports inside Start: the result (empty
  // on a failed start) reaches manager->OnRequestDone from a later loop iteration, after which
  // the request deletes itself.
  void Start(const std::string& domain, int type);
  // Loop thread, before the manager deletes a request that has not reported. Nothing is
  // delivered afterwards; a worker finishing later only warns.
  void Cancel();

  int id;
  DnsManager* manager;
  std::string tag;
  bool quiet;
  std::string log_name;
  // Keeps the worker's notify and Cancel apart.
  std::mutex mutex;
  // Null after Cancel.
  std::unique_ptr<AsyncEvent> async_event;
  std::future<std::vector<DnsIPAddr>> result;
  std::string domain;
  int type = 0;
  Timer fail_timer;

 private:
  // Starts the worker on a new thread; a failure to create it throws std::system_error.
  void DoResolve();
  // Worker thread.
  std::vector<DnsIPAddr> Work();
  void NotifyDone();
  // Loop thread; each deletes the request.
  void OnAsyncDone();
  void OnFailed();
};

}  // namespace tovali
