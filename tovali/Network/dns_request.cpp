#include "tovali/Network/dns_request.h"

#include <sys/prctl.h>

#include <cerrno>
#include <exception>
#include <utility>

#include "tovali/Network/dns_manager.h"
#include "tovali/Network/socket_util.h"
#include "tovali/log/logger.h"

namespace tovali {

DnsRequest::DnsRequest(int id, DnsManager* manager, std::string prefix, bool log)
    : id(id), manager(manager), tag(std::move(prefix)), quiet(!log), log_name(manager->log_name) {
  tag += "[DnsREQ ";
  tag += std::to_string(id);
  tag += "]";
  QLOG_DEBUG(quiet, log_name.c_str(), "%s CREATE", tag.c_str());
  async_event.reset(new AsyncEvent());
  int rc = async_event->Init(manager->loop, [this] { OnAsyncDone(); });
  if (rc != 0)
    QLOG_ERROR(quiet, log_name.c_str(), "%s init async failed: %d (errno:%d)", tag.c_str(), rc,
               errno);
  fail_timer.Init(manager->loop, [this] { OnFailed(); });
}

DnsRequest::~DnsRequest() {
  QLOG_DEBUG(quiet, log_name.c_str(), "%s DELETE", tag.c_str());
  // Releasing the future joins the worker; only then may the fields it reads go.
  { std::future<std::vector<DnsIPAddr>> worker = std::move(result); }
}

void DnsRequest::Start(const std::string& domain, int type) {
  this->domain = domain;
  this->type = type;
  int rc = async_event ? async_event->Start() : -1;
  if (rc != 0) {
    QLOG_ERROR(quiet, log_name.c_str(), "%s start async failed: %d", tag.c_str(), rc);
    fail_timer.Start(0, 0);
    return;
  }
  QLOG_DEBUG(quiet, log_name.c_str(), "%s will resolve '%s' in new thread.", tag.c_str(),
             this->domain.c_str());
  try {
    DoResolve();
  } catch (const std::exception& e) {
    QLOG_ERROR(quiet, log_name.c_str(), "%s async resolve failed: %s", tag.c_str(), e.what());
    fail_timer.Start(0, 0);
  } catch (...) {
    QLOG_ERROR(quiet, log_name.c_str(), "%s async resolve failed: unknown error.", tag.c_str());
    fail_timer.Start(0, 0);
  }
}

void DnsRequest::DoResolve() {
  result = std::async(std::launch::async, [this] { return Work(); });
}

std::vector<DnsIPAddr> DnsRequest::Work() {
  std::string thread_name = manager->thread_name_prefix + "-DNS-" + std::to_string(id);
  prctl(PR_SET_NAME, thread_name.c_str(), 0, 0, 0);

  std::vector<std::string> ipv4;
  std::vector<std::string> ipv6;
  if (type == kDnsBoth) {
    QLOG_DEBUG(quiet, log_name.c_str(), "%s resolve both IPv4 and IPv6 for %s", tag.c_str(),
               domain.c_str());
    auto both = LookupAllAddresses(domain);
    ipv4 = std::move(both.first);
    ipv6 = std::move(both.second);
  } else if (type == kDnsIPv4) {
    QLOG_DEBUG(quiet, log_name.c_str(), "%s resolve IPv4 for %s", tag.c_str(), domain.c_str());
    ipv4 = LookupAddresses(domain, true);
  } else {
    QLOG_DEBUG(quiet, log_name.c_str(), "%s resolve IPv6 for %s", tag.c_str(), domain.c_str());
    ipv6 = LookupAddresses(domain, false);
  }

  std::vector<DnsIPAddr> ips;
  ips.reserve(ipv4.size() + ipv6.size());
  for (std::string& ip : ipv6)
    ips.push_back(DnsIPAddr{std::move(ip), true});
  for (std::string& ip : ipv4)
    ips.push_back(DnsIPAddr{std::move(ip), false});

  if (!quiet) {
    LOG_DEBUG(log_name.c_str(), "%s resolve '%s' to %zu addresses:", tag.c_str(), domain.c_str(),
              ips.size());
    for (size_t i = 0; i < ips.size(); ++i) {
      LOG_DEBUG(log_name.c_str(), "%s (%d) %s %s", tag.c_str(), static_cast<int>(i),
                ips[i].is_ipv6 ? "IPv6" : "IPv4", ips[i].ip.c_str());
    }
    LOG_DEBUG(log_name.c_str(), "%s resolve finished, notify resolver.", tag.c_str());
  }
  NotifyDone();
  return ips;
}

void DnsRequest::NotifyDone() {
  std::lock_guard<std::mutex> lock(mutex);
  if (async_event)
    async_event->Notify();
  else
    QLOG_WARN(quiet, log_name.c_str(), "%s request has been cancelled, notify failed.",
              tag.c_str());
}

void DnsRequest::OnAsyncDone() {
  std::vector<DnsIPAddr> ips;
  if (result.valid()) {
    // The worker notifies just before it returns, so this wait is short.
    try {
      ips = result.get();
    } catch (const std::exception& e) {
      QLOG_ERROR(quiet, log_name.c_str(), "%s get future result failed: %s", tag.c_str(), e.what());
      ips.clear();
    } catch (...) {
      QLOG_ERROR(quiet, log_name.c_str(), "%s get future result failed: unknown error.",
                 tag.c_str());
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
  std::lock_guard<std::mutex> lock(mutex);
  QLOG_INFO(quiet, log_name.c_str(), "%s cancel request.", tag.c_str());
  async_event.reset();
}

}  // namespace tovali
