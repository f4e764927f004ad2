// The ping subcommand: measures how long opening a TCP connection to host:port takes, once per
// interval, a configured number of times; one line per attempt on stdout, then statistics.
// Writes no log lines. Loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Context.h"
#include "main/Configs.h"
#include "tovali/Network/dns_request.h"
#include "tovali/Network/event_loop.h"

namespace tovali {
class DnsResolver;
class TcpStream;
}  // namespace tovali

namespace palvex {

// One finished attempt: {0, connect time} on success, {failure code, 0} otherwise.
struct PingResult {
  uint32_t code;
  uint32_t time_ms;
};

// What the closing statistics show. Times are over the connected attempts only; with none,
// min_ms stays 4294967295 and the others 0. The sum of the times wraps in 32 bits.
struct PingStatistics {
  size_t attempted = 0;
  size_t connected = 0;
  size_t failed = 0;
  uint32_t min_ms = UINT32_MAX;
  uint32_t max_ms = 0;
  uint32_t average_ms = 0;
  double failed_percent = 0.0;
};

PingStatistics ComputePingStatistics(const std::vector<PingResult>& results);

// How long one attempt may take: interval - 100 ms, so that the next tick finds it finished;
// for intervals of 100 ms or less (where that would be 0 or wrap) the whole interval.
uint32_t PingAttemptTimeoutMs(uint32_t interval_ms);

class PingDetector : public Context {
 public:
  // Schedules the start on the loop; Context::Run then does the work. config.interval must not
  // be 0 (the command line refuses it): a repeat of 0 ms never ticks again.
  explicit PingDetector(PingConfig config);
  // Releases the resolver and the current attempt; prints nothing.
  ~PingDetector() override;

  PingDetector(const PingDetector&) = delete;
  PingDetector& operator=(const PingDetector&) = delete;

 private:
  void Start();
  void Resolve();
  void OnResolved(int code, const std::vector<tovali::DnsIPAddr>& ips);
  void Connect();
  void OnConnectSuccess();
  void OnConnectFailed(int code);
  // Ends the current attempt with `result`; after the last one prints the statistics and ends
  // the loop.
  void Finish(PingResult result);
  void PrintStatistics();
  bool CountReached() const { return results_.size() == config_.count; }

  std::string log_tag_ = "[PING]";
  PingConfig config_;
  std::string ip_;
  tovali::Timer start_timer_;
  tovali::Timer timeout_timer_;
  uint32_t attempt_start_ms_ = 0;
  std::unique_ptr<tovali::DnsResolver> resolver_;
  std::unique_ptr<tovali::TcpStream> stream_;
  tovali::Timer connect_timer_;
  std::vector<PingResult> results_;
};

}  // namespace palvex
