// The run context: base class of the detectors. Owns the process's event loop, ends it on SIGINT
// and SIGTERM, finds the device identity and runs the loop. Everything runs on the main thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "tovali/Network/dns_manager.h"
#include "tovali/Network/event_loop.h"
#include "tovali/log/log_handle.h"

namespace palvex {

class Context {
 public:
  // Creates the loop and enables both signal watchers. A derived constructor then schedules its
  // own start on the loop.
  Context();
  // Holds SIGINT and SIGTERM back for good before it frees the watchers.
  virtual ~Context();

  // Holds SIGINT and SIGTERM back on the calling thread. main calls it first thing, so that a
  // signal arriving before the loop runs waits instead of killing the run; Run lets them through
  // to the watchers just before the loop, and ends at once, without the loop, when one is already
  // waiting. The destructor holds them back again before freeing the watchers (which restores
  // the default action): a signal arriving from then until exit, after the report, stays pending
  // and dies with the process.
  static void HoldStopSignals();

  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // Reads the device identity, creates the DNS manager, then runs the loop until ExitLoop or a
  // signal ends it. Returns without running the loop when there is no identity or a stop signal
  // came first. Call once.
  void Run();

  // Asks the loop to end after the callbacks already active; calling it again in the same
  // iteration is harmless. Returns EventLoop::Exit's result.
  int ExitLoop();

 protected:
  // Fills hostname_ from the first of `paths` that holds a non-blank identity of at most
  // kMaxIdentitySize bytes (trimmed of white space), else from the system host name. False when
  // both give nothing. ReadHostname uses it with the fixed identity files.
  bool ReadHostnameFrom(const char* const* paths, size_t count);

  tovali::LogHandle log_{"[APP]"};
  std::string hostname_;  // the device identity
  tovali::EventLoop loop_;
  tovali::SignalWatcher sigint_watcher_;
  tovali::SignalWatcher sigterm_watcher_;
  // Shared by every resolver of the run; created by Run before the loop starts.
  std::unique_ptr<tovali::DnsManager> dns_manager_;
  // Where a derived class lets go of a component from inside that component's callback.
  tovali::DeferredQueue deferred_;

 private:
  void OnSignal(int signal_number);
  bool ReadHostname();

  // Both signal watchers are bound and enabled: Run may let the stop signals through.
  bool watching_ = false;
};

}  // namespace palvex
