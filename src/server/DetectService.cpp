#include "server/DetectService.h"

#include <event2/buffer.h>
#include <event2/http.h>
#include <pthread.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/Frame.h"
#include "server/LocationTable.h"
#include "server/ServiceState.h"
#include "server/ServiceWorker.h"
#include "tovali/Network/dns_manager.h"
#include "tovali/log/logger.h"

namespace palvexd {
namespace {

// Idle per-source entries are dropped this often.
constexpr uint64_t kSweepMs = 10000;

}  // namespace

DetectService::DetectService(ServerConfig config) : config_(std::move(config)) {}

DetectService::~DetectService() {
  for (auto& worker : workers_)
    worker->RequestStop();
  for (auto& worker : workers_)
    worker->Join();
  workers_.clear();
  if (http_ != nullptr)
    evhttp_free(http_);
}

int DetectService::Start() {
  loop_.Create(0);
  if (loop_.base() == nullptr) {
    std::fputs("palvexd: cannot create an event loop\n", stderr);
    return 1;
  }
  auto table = std::make_shared<LocationTable>();
  std::string error;
  if (!config_.locations.empty() && !table->Load(config_.locations, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  const bool default_listen = config_.listen.empty();
  if (default_listen) {
    config_.listen.push_back(Endpoint{"0.0.0.0", true, kDefaultPort});
    config_.listen.push_back(Endpoint{"::", false, kDefaultPort});
  }
  state_ = std::make_unique<ServiceState>(config_);
  state_->set_table(std::move(table));
  if (!state_->records.Open(config_.record, &error)) {
    std::fprintf(stderr, "palvexd: --record %s\n", error.c_str());
    return 1;
  }
  RaiseDescriptorLimit();

  for (uint32_t i = 0; i < config_.workers; ++i) {
    auto worker = std::make_unique<ServiceWorker>(*state_, i);
    if (!worker->Listen(config_.listen, config_.workers > 1, default_listen, &error)) {
      std::fprintf(stderr, "palvexd: --listen %s\n", error.c_str());
      return 1;
    }
    workers_.push_back(std::move(worker));
  }
  if (!config_.metrics.empty() && !StartMetrics(&error)) {
    std::fprintf(stderr, "palvexd: --metrics %s\n", error.c_str());
    return 1;
  }

  event_base* base = loop_.base();
  sigterm_.Start(base, SIGTERM, [this](int sig) { OnSignal(sig); });
  sigint_.Start(base, SIGINT, [this](int sig) { OnSignal(sig); });
  sighup_.Start(base, SIGHUP, [this](int sig) { OnSignal(sig); });
  if (sigterm_.Enable() != 0 || sigint_.Enable() != 0 || sighup_.Enable() != 0) {
    std::fputs("palvexd: cannot watch signals\n", stderr);
    return 1;
  }
  sweep_timer_.Init(base, [this] { state_->limiter.Sweep(tovali::MonotonicMs()); });
  sweep_timer_.Start(kSweepMs, kSweepMs);

  // The control loop takes every signal; worker threads start with them blocked.
  sigset_t block;
  sigset_t old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  for (auto& worker : workers_)
    worker->Start();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  std::string where;
  for (const Endpoint& endpoint : config_.listen)
    where += " " + palvex::FormatAddress(endpoint.ip, !endpoint.ipv4, endpoint.port);
  LOG_INFO("", "%s serving on%s with %u workers, %zu prefixes", tag_.c_str(), where.c_str(),
           config_.workers, state_->table()->prefixes());
  return 0;
}

int DetectService::Run() {
  loop_.Run(0);
  for (auto& worker : workers_)
    worker->RequestStop();
  for (auto& worker : workers_)
    worker->Join();
  LOG_INFO("", "%s stopped", tag_.c_str());
  return 0;
}

void DetectService::OnSignal(int signal_number) {
  if (signal_number == SIGHUP) {
    Reload();
    return;
  }
  if (stopping_)
    return;
  stopping_ = true;
  LOG_INFO("", "%s signal %d: stopping", tag_.c_str(), signal_number);
  for (auto& worker : workers_)
    worker->RequestStop();
  loop_.Exit(0);
}

void DetectService::Reload() {
  std::string error;
  if (!config_.locations.empty()) {
    auto table = std::make_shared<LocationTable>();
    if (table->Load(config_.locations, &error)) {
      size_t prefixes = table->prefixes();
      state_->set_table(std::move(table));
      state_->metrics.CountReload(true);
      LOG_INFO("", "%s location table reloaded: %zu prefixes", tag_.c_str(), prefixes);
    } else {
      state_->metrics.CountReload(false);
      LOG_ERROR("", "%s reload failed, keeping the old table: %s", tag_.c_str(), error.c_str());
    }
  }
  if (!state_->records.Reopen(&error))
    LOG_ERROR("", "%s cannot reopen the record file: %s", tag_.c_str(), error.c_str());
}

bool DetectService::StartMetrics(std::string* error) {
  Endpoint endpoint;
  ParseEndpoint(config_.metrics, &endpoint);
  http_ = evhttp_new(loop_.base());
  if (http_ == nullptr) {
    *error = "cannot create the HTTP server";
    return false;
  }
  evhttp_set_allowed_methods(http_, EVHTTP_REQ_GET | EVHTTP_REQ_HEAD);
  evhttp_set_timeout(http_, 10);
  evhttp_set_max_headers_size(http_, 8192);
  evhttp_set_max_body_size(http_, 1024);
  evhttp_set_gencb(http_, &DetectService::OnHttp, this);
  errno = 0;
  if (evhttp_bind_socket_with_handle(http_, endpoint.ip.c_str(), endpoint.port) == nullptr) {
    *error = config_.metrics + ": cannot listen" +
             (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
    return false;
  }
  return true;
}

void DetectService::OnHttp(evhttp_request* request, void* arg) {
  auto* self = static_cast<DetectService*>(arg);
  const evhttp_uri* uri = evhttp_request_get_evhttp_uri(request);
  const char* path = uri != nullptr ? evhttp_uri_get_path(uri) : nullptr;
  std::string body;
  const char* type = "text/plain; charset=utf-8";
  if (path != nullptr && std::strcmp(path, "/metrics") == 0) {
    ServiceState& state = *self->state_;
    body = state.metrics.Render(state.connections.used(), state.dialbacks.used(),
                                state.records.failures(), state.table()->prefixes());
    type = "text/plain; version=0.0.4; charset=utf-8";
  } else if (path != nullptr && std::strcmp(path, "/healthz") == 0) {
    if (self->stopping_) {
      evhttp_send_error(request, 503, "Stopping");
      return;
    }
    body = "ok\n";
  } else {
    evhttp_send_error(request, HTTP_NOTFOUND, nullptr);
    return;
  }
  evhttp_add_header(evhttp_request_get_output_headers(request), "Content-Type", type);
  evbuffer* out = evbuffer_new();
  if (out == nullptr) {
    evhttp_send_error(request, HTTP_INTERNAL, nullptr);
    return;
  }
  evbuffer_add(out, body.data(), body.size());
  evhttp_send_reply(request, HTTP_OK, "OK", out);
  evbuffer_free(out);
}

void DetectService::RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  // Each client connection and each dial-back holds a descriptor.
  const rlim_t wanted = rlim_t{config_.max_connections} + config_.max_dialbacks + 64;
  if (limit.rlim_cur < wanted) {
    LOG_WARN("", "%s descriptor limit %llu is below the %llu that the limits allow", tag_.c_str(),
             static_cast<unsigned long long>(limit.rlim_cur),
             static_cast<unsigned long long>(wanted));
  }
}

}  // namespace palvexd
