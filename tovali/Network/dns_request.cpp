#include "tovali/Network/dns_request.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <thread>
#include <utility>

#include "tovali/Network/socket_util.h"
#include "tovali/log/logger.h"

namespace tovali {

// What the worker reads and writes. Everything but `notify` is written on the loop thread before
// the worker starts and not changed afterwards.
struct DnsRequest::WorkerState {
  int type = 0;
  std::string domain;
  LogHandle log;
  std::string thread_name;  // at most 15 characters, as the kernel keeps them
  // The worker's own logger (none when quiet): static destruction at exit releases g_logger.
  std::shared_ptr<Logger> logger;
  std::promise<std::vector<DnsIPAddr>> result;
  // Keeps the worker's notify apart from Cancel and from the request's destruction.
  std::mutex mutex;
  // The request's event; null once the request was cancelled or deleted.
  AsyncEvent* notify = nullptr;
};

namespace {

// Blocks every signal on the calling thread for its scope; a thread created meanwhile keeps them
// blocked for good.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved_);
  }
  ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace

DnsRequest::DnsRequest(int id, DnsRequestHost* manager, std::string prefix, bool logs)
    : id(id),
      manager(manager),
      log(std::move(prefix) + "[DnsREQ " + std::to_string(id) + "]", logs,
          manager->request_log_name()) {
  HLOG_DEBUG(log, "CREATE");
  async_event.reset(new AsyncEvent());
  int rc = async_event->Init(manager->request_loop(), [this] { OnAsyncDone(); });
  if (rc != 0)
    HLOG_ERROR(log, "init async failed: %d (errno:%d)", rc, errno);
  fail_timer.Init(manager->request_loop(), [this] { OnFailed(); });
}

DnsRequest::~DnsRequest() {
  HLOG_DEBUG(log, "DELETE");
  // A worker still running keeps its state; it must only not notify the event that goes with us.
  ForgetEvent();
}

void DnsRequest::Start(const std::string& domain, int type) {
  this->domain = domain;
  this->type = type;
  int rc = async_event ? async_event->Start() : -1;
  if (rc != 0) {
    HLOG_ERROR(log, "start async failed: %d", rc);
    fail_timer.Start(0, 0);
    return;
  }
  HLOG_DEBUG(log, "will resolve '%s' in new thread.", this->domain.c_str());
  try {
    DoResolve();
  } catch (const std::exception& e) {
    HLOG_ERROR(log, "async resolve failed: %s", e.what());
    fail_timer.Start(0, 0);
  } catch (...) {
    HLOG_ERROR(log, "async resolve failed: unknown error.");
    fail_timer.Start(0, 0);
  }
}

void DnsRequest::DoResolve() {
  state_ = std::make_shared<WorkerState>();
  WorkerState& state = *state_;
  state.type = type;
  state.domain = domain;
  state.log = log;
  state.thread_name =
      (manager->request_thread_prefix() + "-DNS-" + std::to_string(id)).substr(0, 15);
  if (log.enabled())  // a quiet worker never logs
    state.logger = CopyGlobalLogger();
  state.notify = async_event.get();
  result = state.result.get_future();
  AllSignalsBlocked blocked;
  std::thread worker([held = state_] { RunWorker(held.get()); });
  // Named here too: once DoResolve returns, the process's thread list shows it by name.
  pthread_setname_np(worker.native_handle(), state.thread_name.c_str());
  worker.detach();
}

void DnsRequest::RunWorker(WorkerState* state) {
  // First thing, so that none of its log lines can precede the name.
  prctl(PR_SET_NAME, state->thread_name.c_str(), 0, 0, 0);
  const char* domain = state->domain.c_str();
  Logger* logger = state->logger.get();
  try {
    std::vector<std::string> ipv4;
    std::vector<std::string> ipv6;
    if (state->type == kDnsBoth) {
      TOVALI_HLOG_TO(logger, state->log, kLogDebug, "resolve both IPv4 and IPv6 for %s", domain);
      auto both = LookupAllAddresses(state->domain);
      ipv4 = std::move(both.first);
      ipv6 = std::move(both.second);
    } else if (state->type == kDnsIPv4) {
      TOVALI_HLOG_TO(logger, state->log, kLogDebug, "resolve IPv4 for %s", domain);
      ipv4 = LookupAddresses(state->domain, true);
    } else {
      TOVALI_HLOG_TO(logger, state->log, kLogDebug, "resolve IPv6 for %s", domain);
      ipv6 = LookupAddresses(state->domain, false);
    }

    std::vector<DnsIPAddr> ips;
    ips.reserve(ipv4.size() + ipv6.size());
    for (std::string& ip : ipv6)
      ips.push_back(DnsIPAddr{std::move(ip), true});
    for (std::string& ip : ipv4)
      ips.push_back(DnsIPAddr{std::move(ip), false});

    if (state->log.enabled()) {
      TOVALI_HLOG_TO(logger, state->log, kLogDebug, "resolve '%s' to %zu addresses:", domain,
                     ips.size());
      for (size_t i = 0; i < ips.size(); ++i) {
        TOVALI_HLOG_TO(logger, state->log, kLogDebug, "(%d) %s %s", static_cast<int>(i),
                       ips[i].is_ipv6 ? "IPv6" : "IPv4", ips[i].ip.c_str());
      }
      TOVALI_HLOG_TO(logger, state->log, kLogDebug, "resolve finished, notify resolver.");
    }
    // The result is in place before the loop wakes, so OnAsyncDone never waits for it.
    state->result.set_value(std::move(ips));
  } catch (...) {
    // Memory exhausted: the failure is the result, and nothing is notified.
    state->result.set_exception(std::current_exception());
    return;
  }
  NotifyDone(state);
}

void DnsRequest::NotifyDone(WorkerState* state) {
  std::lock_guard<std::mutex> lock(state->mutex);
  if (state->notify)
    state->notify->Notify();
  else
    TOVALI_HLOG_TO(state->logger, state->log, kLogWarn,
                   "request has been cancelled, notify failed.");
}

void DnsRequest::OnAsyncDone() {
  std::vector<DnsIPAddr> ips;
  if (result.valid()) {
    try {
      ips = result.get();
    } catch (const std::exception& e) {
      HLOG_ERROR(log, "get future result failed: %s", e.what());
      ips.clear();
    } catch (...) {
      HLOG_ERROR(log, "get future result failed: unknown error.");
      ips.clear();
    }
    result = std::future<std::vector<DnsIPAddr>>();
  }
  manager->OnRequestDone(ips, this);
  delete this;
}

void DnsRequest::OnFailed() {
  manager->OnRequestDone(std::vector<DnsIPAddr>(), this);
  delete this;
}

void DnsRequest::Cancel() {
  HLOG_INFO(log, "cancel request.");
  ForgetEvent();
  async_event.reset();
}

void DnsRequest::ForgetEvent() {
  if (!state_)
    return;  // no worker
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->notify = nullptr;
}

}  // namespace tovali
