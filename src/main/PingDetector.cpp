#include "main/PingDetector.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "tovali/Network/dns_manager.h"
#include "tovali/Network/dns_resolver.h"
#include "tovali/Network/socket_util.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/util/clock.h"

namespace palvex {

namespace {

// Monotonic milliseconds in 32 bits; differences stay right across the wrap.
uint32_t NowMs() {
  return static_cast<uint32_t>(tovali::MonotonicMs());
}

// A late attempt counts as a failed connect.
constexpr int kConnectFailed = tovali::TcpStream::ConnectFailed;

}  // namespace

PingStatistics ComputePingStatistics(const std::vector<PingResult>& results) {
  PingStatistics stats;
  uint32_t sum_ms = 0;
  stats.attempted = results.size();
  for (const PingResult& result : results) {
    if (result.code != 0)
      continue;
    ++stats.connected;
    sum_ms += result.time_ms;
    stats.min_ms = std::min(stats.min_ms, result.time_ms);
    stats.max_ms = std::max(stats.max_ms, result.time_ms);
  }
  stats.failed = stats.attempted - stats.connected;
  if (stats.connected != 0)
    stats.average_ms = static_cast<uint32_t>(sum_ms / stats.connected);
  if (stats.attempted != 0)
    stats.failed_percent =
        static_cast<double>(stats.failed) * 100.0 / static_cast<double>(stats.attempted);
  return stats;
}

uint32_t PingAttemptTimeoutMs(uint32_t interval_ms) {
  return interval_ms > 100 ? interval_ms - 100 : interval_ms;
}

PingDetector::PingDetector(PingConfig config) : config_(std::move(config)) {
  start_timer_.Init(loop_.base(), [this] { Start(); });
  timeout_timer_.Init(loop_.base(), [this] { OnConnectFailed(kConnectFailed); });
  connect_timer_.Init(loop_.base(), [this] { Connect(); });
  start_timer_.Start(0, 0);
}

PingDetector::~PingDetector() {
  deferred_.Clear();
  resolver_.reset();
  stream_.reset();
}

void PingDetector::Start() {
  if (tovali::IsIPv4(config_.host) || tovali::IsIPv6(config_.host)) {
    ip_ = config_.host;
    std::fprintf(stdout, "Connecting to %s on %u:\n\n", ip_.c_str(),
                 static_cast<unsigned>(config_.port));
    std::fflush(stdout);
    connect_timer_.Start(0, config_.interval);
    return;
  }
  Resolve();
}

void PingDetector::Resolve() {
  auto resolver = std::make_unique<tovali::DnsResolver>(dns_manager_.get(), log_tag_, true);
  resolver_ = std::move(resolver);
  const int rc = resolver_->Resolve(
      config_.host,
      [this](int code, const std::vector<tovali::DnsIPAddr>& ips) { OnResolved(code, ips); },
      config_.ipv6 ? tovali::kDnsIPv6 : tovali::kDnsIPv4);
  if (rc == 0)
    return;
  // A refused request (an empty host) would never call back: report it like a failed one
  // instead of waiting for a signal.
  resolver_.reset();
  std::fprintf(stderr, "Resolve %s failed: %d\n", config_.host.c_str(), rc);
  ExitLoop();
}

void PingDetector::OnResolved(int code, const std::vector<tovali::DnsIPAddr>& ips) {
  if (!ips.empty())
    ip_ = ips.front().ip;
  deferred_.DeleteSoon(std::move(resolver_));
  if (code != 0) {
    std::fprintf(stderr, "Resolve %s failed: %d\n", config_.host.c_str(), code);
    ExitLoop();
    return;
  }
  std::fprintf(stdout, "Connecting to %s [%s] on %u:\n\n", config_.host.c_str(), ip_.c_str(),
               static_cast<unsigned>(config_.port));
  std::fflush(stdout);
  connect_timer_.Start(0, config_.interval);
}

void PingDetector::Connect() {
  if (stream_) {
    // The previous attempt outlived its interval: it fails like a timed-out one, so that every
    // attempt leaves a line and a result.
    OnConnectFailed(kConnectFailed);
    if (CountReached())
      return;
  }
  attempt_start_ms_ = NowMs();
  auto stream = std::make_unique<tovali::TcpStream>(loop_.base(), tovali::IsIPv4(ip_));
  stream->fail_on_option_error = true;
  stream->on_open = [this] { OnConnectSuccess(); };
  stream->on_error = [this](int code) { OnConnectFailed(code); };
  stream->on_data = [](const char*, size_t) { return 0; };
  if (!config_.bind_nic.empty())
    stream->bind_nic = config_.bind_nic;
  if (!config_.bind_ip.empty())
    stream->bind_ip = config_.bind_ip;
  stream_ = std::move(stream);
  const int rc = stream_->Connect(ip_, config_.port);
  if (rc != 0) {
    OnConnectFailed(rc);
    return;
  }
  timeout_timer_.Start(PingAttemptTimeoutMs(config_.interval), 0);
}

void PingDetector::OnConnectSuccess() {
  const uint32_t time_ms = NowMs() - attempt_start_ms_;
  std::fprintf(stdout, "Connect success: %s (%s:%u => %s:%u) time=%ums\n", config_.bind_nic.c_str(),
               stream_->LocalIp().c_str(), static_cast<unsigned>(stream_->LocalPort()), ip_.c_str(),
               static_cast<unsigned>(config_.port), time_ms);
  std::fflush(stdout);
  Finish(PingResult{0, time_ms});
}

void PingDetector::OnConnectFailed(int code) {
  // Everything the line shows is read before the stream goes.
  std::string local_ip;
  uint16_t local_port = 0;
  int saved_errno = 0;
  if (stream_) {
    local_ip = stream_->LocalIp();
    local_port = stream_->LocalPort();
    saved_errno = stream_->saved_errno;
  }
  std::fprintf(stdout, "Connect failed:  %s (%s:%u => %s:%u) code=%d errno=%d\n",
               config_.bind_nic.c_str(), local_ip.c_str(), static_cast<unsigned>(local_port),
               ip_.c_str(), static_cast<unsigned>(config_.port), code, saved_errno);
  std::fflush(stdout);
  Finish(PingResult{static_cast<uint32_t>(code), 0});
}

void PingDetector::Finish(PingResult result) {
  // Closed at once, even inside its own callback (which the stream allows): a stream left
  // connecting until a later pass could still report into this detector after its attempt
  // ended, e.g. a connect completing in the same pass as the timeout.
  stream_.reset();
  timeout_timer_.Stop();
  results_.push_back(result);
  if (!CountReached())
    return;
  connect_timer_.Stop();
  PrintStatistics();
  ExitLoop();
}

void PingDetector::PrintStatistics() {
  const PingStatistics stats = ComputePingStatistics(results_);
  std::fprintf(stdout, "\nConnection statistics:\n");
  std::fprintf(stdout, "\tAttempted = %zu, Connected = %zu, Failed = %zu (%.2f%%)\n",
               stats.attempted, stats.connected, stats.failed, stats.failed_percent);
  std::fprintf(stdout, "Approximate connection times:\n");
  std::fprintf(stdout, "\tMinimum = %ums, Maximum = %ums, Average = %ums\n", stats.min_ms,
               stats.max_ms, stats.average_ms);
  std::fflush(stdout);
}

}  // namespace palvex
