#include "server/DetectService.h"

#include <dirent.h>
#include <event2/buffer.h>
#include <event2/http.h>
#include <event2/listener.h>
#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

#include "server/LocationTable.h"
#include "server/ServiceState.h"
#include "server/ServiceWorker.h"
#include "server/StunService.h"
#include "tovali/Network/socket_util.h"
#include "tovali/Network/tcp_listener.h"
#include "tovali/log/log_handle.h"
#include "tovali/log/logger.h"
#include "tovali/util/clock.h"
#include "wire/DetectProtocol.h"

namespace palvexd {
namespace {

// Idle per-source entries are dropped this often.
constexpr uint64_t kSweepMs = 10000;
// Gradings whose mapping requests never came are written within this of their hold time.
constexpr uint64_t kGradingSweepMs = 250;
// Descriptors kept out of the client connections' and dial-backs' reach, beyond what the
// service holds at start and each worker's loop: metrics scrapes, the record file's reopen, the
// table's reload, a log file's rotation, and one accept per worker that is refused at once.
constexpr uint32_t kSpareDescriptors = 32;
constexpr uint32_t kDescriptorsPerWorker = 4;

// libevent hands the metrics listener's error callback evhttp's argument, not ours: the one
// service of the process that serves metrics.
DetectService* g_metrics_service = nullptr;

// Descriptors open now; `fallback` when that cannot be read.
uint32_t OpenDescriptors(uint32_t fallback) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr)
    return fallback;
  uint32_t count = 0;
  while (readdir(dir) != nullptr)
    ++count;
  closedir(dir);
  // ".", ".." and the directory's own descriptor.
  return count > 3 ? count - 3 : 0;
}

}  // namespace

DetectService::DetectService(ServerConfig config) : config_(std::move(config)) {}

DetectService::~DetectService() {
  for (auto& worker : workers_)
    worker->RequestStop();
  for (auto& worker : workers_)
    worker->Join();
  workers_.clear();
  stun_.reset();
  if (http_ != nullptr)
    evhttp_free(http_);
  if (g_metrics_service == this)
    g_metrics_service = nullptr;
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
  std::shared_ptr<GeoDatabases> geo;
  if (!LoadGeo(&geo, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  const bool default_listen = config_.listen.empty();
  if (default_listen) {
    config_.listen.push_back(Endpoint{"0.0.0.0", true, kDefaultPort});
    config_.listen.push_back(Endpoint{"::", false, kDefaultPort});
  }
  FitLimitsToDescriptors();
  state_ = std::make_unique<ServiceState>(config_);
  state_->set_table(std::move(table));
  state_->set_geo(std::move(geo));
  if (!state_->records.Open(config_.record, &error)) {
    std::fprintf(stderr, "palvexd: --record %s\n", error.c_str());
    return 1;
  }

  for (uint32_t i = 0; i < config_.workers; ++i) {
    auto worker = std::make_unique<ServiceWorker>(*state_, i);
    if (!worker->Listen(ServingEndpoints(config_), config_.workers > 1, default_listen, &error)) {
      std::fprintf(stderr, "palvexd: --listen %s\n", error.c_str());
      return 1;
    }
    workers_.push_back(std::move(worker));
  }
  if (!config_.stun.empty()) {
    stun_ = std::make_unique<StunService>(*state_, loop_.base());
    if (!stun_->Start(&error)) {
      std::fprintf(stderr, "palvexd: %s\n", error.c_str());
      return 1;
    }
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
  metrics_pause_.Init(base, [this] {
    if (metrics_listener_ != nullptr)
      evconnlistener_enable(metrics_listener_);
  });
  sweep_timer_.Start(kSweepMs, kSweepMs);
  grading_timer_.Init(base, [this] { SweepGradings(false); });
  grading_timer_.Start(kGradingSweepMs, kGradingSweepMs);

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
  for (const Endpoint& endpoint : ServingEndpoints(config_))
    where += " " + palvex::FormatAddress(endpoint.ip, !endpoint.ipv4, endpoint.port);
  HLOG_INFO(log_, "serving on%s with %u workers, %zu prefixes", where.c_str(), config_.workers,
            state_->table()->prefixes());
  return 0;
}

int DetectService::Run() {
  loop_.Run(0);
  for (auto& worker : workers_)
    worker->RequestStop();
  for (auto& worker : workers_)
    worker->Join();
  // The dial-backs have all ended: what is held is written with what is known.
  SweepGradings(true);
  HLOG_INFO(log_, "stopped");
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
  HLOG_INFO(log_, "signal %d: stopping", signal_number);
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
      HLOG_INFO(log_, "location table reloaded: %zu prefixes", prefixes);
    } else {
      state_->metrics.CountReload(false);
      HLOG_ERROR(log_, "reload failed, keeping the old table: %s", error.c_str());
    }
  }
  std::shared_ptr<GeoDatabases> geo;
  if (LoadGeo(&geo, &error)) {
    if (geo) {
      state_->set_geo(std::move(geo));
      state_->metrics.CountReload(true);
      HLOG_INFO(log_, "location databases reloaded");
    }
  } else {
    state_->metrics.CountReload(false);
    HLOG_ERROR(log_, "reload failed, keeping the old databases: %s", error.c_str());
  }
  if (!state_->records.Reopen(&error))
    HLOG_ERROR(log_, "cannot reopen the record file: %s", error.c_str());
}

bool DetectService::LoadGeo(std::shared_ptr<GeoDatabases>* out, std::string* error) const {
  GeoFiles files{config_.mmdb_city, config_.mmdb_asn, config_.map_province,
                 config_.map_city,  config_.map_isp,  PALVEXD_ISO_3166_FILE};
  out->reset();
  if (files.empty())
    return true;
  auto geo = std::make_shared<GeoDatabases>();
  if (!geo->Load(files, error))
    return false;
  *out = std::move(geo);
  return true;
}

void DetectService::SweepGradings(bool all) {
  std::vector<Grading> done;
  if (all)
    state_->gradings.TakeAll(&done);
  else
    state_->gradings.Sweep(tovali::MonotonicMs(), config_.grading_hold_ms, &done);
  if (done.empty())
    return;
  std::string lines;
  for (const Grading& grading : done) {
    const DetectRecord& record = grading.record;
    state_->metrics.CountGrade(record);
    lines += BuildRecordLine(record);
    lines += '\n';
  }
  state_->records.Write(lines);
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
  tovali::SockAddr addr;
  socklen_t len = 0;
  tovali::ToSockAddr(endpoint.ipv4, endpoint.ip, endpoint.port, &addr, &len);
  errno = 0;
  // A listener of our own rather than evhttp's, for its error path: without one, an accept that
  // fails for want of descriptors is retried at once, forever.
  metrics_listener_ =
      evconnlistener_new_bind(loop_.base(), nullptr, nullptr,
                              LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE,
                              128, addr.get(), static_cast<int>(len));
  if (metrics_listener_ == nullptr) {
    *error = config_.metrics + ": cannot listen" +
             (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
    return false;
  }
  evconnlistener_set_error_cb(metrics_listener_, &DetectService::OnMetricsAcceptError);
  g_metrics_service = this;
  // evhttp takes the listener over and frees it with itself.
  if (evhttp_bind_listener(http_, metrics_listener_) == nullptr) {
    evconnlistener_free(metrics_listener_);
    metrics_listener_ = nullptr;
    *error = config_.metrics + ": cannot serve";
    return false;
  }
  return true;
}

void DetectService::OnMetricsAcceptError(evconnlistener* listener, void*) {
  const int err = EVUTIL_SOCKET_ERROR();
  DetectService* self = g_metrics_service;
  evconnlistener_disable(listener);
  if (self == nullptr)
    return;
  self->metrics_pause_.Start(tovali::TcpListener::kAcceptPauseMs);
  if (self->metrics_paused_)
    return;
  self->metrics_paused_ = true;
  self->state_->metrics.CountAcceptPause(true);
  HLOG_WARN(self->log_, "metrics accept paused: %s", std::strerror(err));
}

void DetectService::OnHttp(evhttp_request* request, void* arg) {
  auto* self = static_cast<DetectService*>(arg);
  if (self->metrics_paused_) {
    self->metrics_paused_ = false;
    HLOG_WARN(self->log_, "metrics accept resumed");
  }
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

void DetectService::FitLimitsToDescriptors() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur == RLIM_INFINITY)
    return;
  // Each client connection and each dial-back holds a descriptor. Were they allowed to take the
  // last one, the metrics endpoint, the record file and the table could no longer be opened,
  // and a listener would meet EMFILE on every pass.
  const uint64_t listeners = uint64_t{config_.workers} * (ServingEndpoints(config_).size() + 1);
  const uint64_t reserve = OpenDescriptors(16) + kSpareDescriptors + listeners +
                           uint64_t{config_.workers} * kDescriptorsPerWorker;
  const uint64_t available = limit.rlim_cur > reserve + 2 ? limit.rlim_cur - reserve : 2;
  if (uint64_t{config_.max_connections} + config_.max_dialbacks <= available)
    return;
  const uint32_t asked_connections = config_.max_connections;
  const uint32_t asked_dialbacks = config_.max_dialbacks;
  // A dial-back follows a request: a quarter of what is left, as the defaults have it.
  uint64_t dialbacks = std::min<uint64_t>(asked_dialbacks, std::max<uint64_t>(1, available / 4));
  uint64_t connections = std::min<uint64_t>(asked_connections, available - dialbacks);
  config_.max_connections = static_cast<uint32_t>(std::max<uint64_t>(1, connections));
  config_.max_dialbacks = static_cast<uint32_t>(dialbacks);
  HLOG_WARN(log_,
            "descriptor limit %llu: serving at most %u client connections and %u "
            "dial-backs (--max-connections %u, --max-dialbacks %u)",
            static_cast<unsigned long long>(limit.rlim_cur), config_.max_connections,
            config_.max_dialbacks, asked_connections, asked_dialbacks);
}

}  // namespace palvexd
