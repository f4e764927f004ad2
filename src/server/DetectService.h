// The service as a whole, on the main thread: loads the location table, opens the record
// destination, binds every worker's listeners, serves the metrics endpoint, and runs the control
// loop that turns signals into actions: SIGHUP reloads the table and reopens the record file,
// SIGTERM and SIGINT stop the workers (each drains its dial-backs) and end the run.
//
// Main thread only; the workers run on threads of their own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/GeoDatabases.h"
#include "server/ServerConfig.h"
#include "tovali/Network/event_loop.h"
#include "tovali/log/log_handle.h"

struct evconnlistener;
struct evhttp;
struct evhttp_request;

namespace palvexd {

class ServiceState;
class ServiceWorker;
class StunService;

class DetectService {
 public:
  explicit DetectService(ServerConfig config);
  // Stops and joins any worker still running.
  ~DetectService();

  DetectService(const DetectService&) = delete;
  DetectService& operator=(const DetectService&) = delete;

  // Everything up to the first accepted connection. 0 when running; otherwise the process exit
  // status after one line on stderr: 2 for a bad location table, 1 for anything else.
  int Start();
  // Runs the control loop until SIGTERM or SIGINT, waits for the workers to drain, returns 0.
  int Run();

 private:
  void OnSignal(int signal_number);
  void Reload();
  // The databases and maps as configured; a null *out without any. False with the reason.
  bool LoadGeo(std::shared_ptr<GeoDatabases>* out, std::string* error) const;
  // Writes the gradings whose hold time is over (all of them with `all`), with their grades.
  void SweepGradings(bool all);
  static void OnHttp(evhttp_request* request, void* self);
  bool StartMetrics(std::string* error);
  static void OnMetricsAcceptError(evconnlistener* listener, void* http);
  // Raises the descriptor limit to its hard limit, then lowers --max-connections and
  // --max-dialbacks, with a warning, to what leaves descriptors for everything else.
  void FitLimitsToDescriptors();

  const tovali::LogHandle log_{"[SRV]"};
  ServerConfig config_;
  tovali::EventLoop loop_;
  std::unique_ptr<ServiceState> state_;
  std::vector<std::unique_ptr<ServiceWorker>> workers_;
  std::unique_ptr<StunService> stun_;
  tovali::SignalWatcher sigterm_;
  tovali::SignalWatcher sigint_;
  tovali::SignalWatcher sighup_;
  tovali::Timer sweep_timer_;
  tovali::Timer grading_timer_;
  evhttp* http_ = nullptr;
  evconnlistener* metrics_listener_ = nullptr;  // evhttp's to free
  tovali::Timer metrics_pause_;
  bool metrics_paused_ = false;
  bool stopping_ = false;
};

}  // namespace palvexd
