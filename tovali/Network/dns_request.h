// One blocking host-name lookup for one (domain, type) pair, run on a thread of its own and
// handed back to the loop thread. Only its host (DnsManager) creates, starts, cancels and deletes
// requests; a request that reported its result deletes itself.
//
// The worker thread is detached and shares with the request only a state object that it holds
// itself (its inputs, the result, the logger, and the event to notify behind a mutex). Deleting
// a request therefore never waits for a lookup that blocks, and a worker that finishes after its
// request, or after main returned, touches nothing that was freed.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tovali/Network/event_loop.h"
#include "tovali/log/log_handle.h"

namespace tovali {

// One resolved address, as inet_ntop writes it (no port, no scope).
struct DnsIPAddr {
  std::string ip;
  bool is_ipv6 = false;
};

// Resolution types. Any value other than kDnsIPv4 and kDnsBoth behaves as kDnsIPv6.
constexpr int kDnsIPv4 = 0;
constexpr int kDnsIPv6 = 1;
constexpr int kDnsBoth = 2;

class DnsRequest;

// What a request needs of the manager that owns it, and nothing more.
class DnsRequestHost {
 public:
  virtual event_base* request_loop() const = 0;
  // Prefix of the worker threads' names.
  virtual const std::string& request_thread_prefix() const = 0;
  virtual const std::string& request_log_name() const = 0;
  // The request's one report, from a later loop iteration; the host deletes it inside.
  virtual void OnRequestDone(const std::vector<DnsIPAddr>& ips, DnsRequest* request) = 0;

 protected:
  ~DnsRequestHost() = default;
};

// Result of a DnsResolver: code 0 finished (the list may be empty), code 3 timed out (empty).
using DnsResolveCallback = std::function<void(int code, const std::vector<DnsIPAddr>& ips)>;

class DnsRequest {
 public:
  // Loop thread. `log` false makes the request write no log line at all.
  DnsRequest(int id, DnsRequestHost* manager, std::string prefix, bool log);
  // Never waits for the worker: one still running finds no event to notify and only warns.
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
  DnsRequestHost* manager;
  LogHandle log;  // tag prefix + "[DnsREQ id]", the manager's name
  // Null after Cancel.
  std::unique_ptr<AsyncEvent> async_event;
  // Set by the worker before it notifies; taken by OnAsyncDone.
  std::future<std::vector<DnsIPAddr>> result;
  std::string domain;
  int type = 0;
  Timer fail_timer;

 private:
  struct WorkerState;

  // Starts the detached worker on a new thread, with every signal blocked so that process
  // signals always reach the thread that handles them; a failure to create it throws
  // std::system_error.
  void DoResolve();
  // Loop thread; each deletes the request.
  void OnAsyncDone();
  void OnFailed();

  // Loop thread: once it returns, a worker still running will not touch async_event.
  void ForgetEvent();

  // Worker thread: the lookup, the result, the notification.
  static void RunWorker(WorkerState* state);
  static void NotifyDone(WorkerState* state);

  // Shared with the worker; null until DoResolve.
  std::shared_ptr<WorkerState> state_;
};

}  // namespace tovali
