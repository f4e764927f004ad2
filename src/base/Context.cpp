#include "base/Context.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>

#include "base/Paths.h"
#include "base/Utils.h"
#include "tovali/log/log_handle.h"
#include "tovali/log/logger.h"

namespace palvex {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

const char* SignalName(int signal_number) {
  switch (signal_number) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    default:
      return "";
  }
}

}  // namespace

Context::Context() {
  loop_.Create(0);
  deferred_.Init(loop_.base());
  HLOG_INFO(log_, "CREATE");
  // Without a base both bindings fail and Run reports the loop's -1; nothing to do here.
  int rc = sigint_watcher_.Start(loop_.base(), SIGINT,
                                 [this](int signal_number) { OnSignal(signal_number); });
  rc |= sigint_watcher_.Enable();
  rc |= sigterm_watcher_.Start(loop_.base(), SIGTERM,
                               [this](int signal_number) { OnSignal(signal_number); });
  rc |= sigterm_watcher_.Enable();
  // Signals held since main started stay held until Run is about to run the loop. Without
  // watchers they stay held for good: the run then ends without a loop anyway.
  watching_ = rc == 0;
}

void Context::HoldStopSignals() {
  sigset_t stop = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

// The watchers are destroyed after this body, then the loop (in reverse member order).
Context::~Context() {
  HoldStopSignals();
  // A queued resolver still needs the manager.
  deferred_.Clear();
  // Cancels any lookup still running, without waiting for it.
  dns_manager_.reset();
  HLOG_INFO(log_, "DELETE");
}

void Context::Run() {
  if (!ReadHostname()) {
    HLOG_ERROR(log_, "get hostname failed");
    return;
  }
  dns_manager_.reset(new tovali::DnsManager(loop_.base(), "", false, ""));
  if (watching_) {
    // A stop signal that came before the loop ends the run before the loop starts anything;
    // unblocked, it is then taken by the watchers. Any later one the watchers handle.
    sigset_t pending;
    const bool stopped = sigpending(&pending) == 0 &&
                         (sigismember(&pending, SIGTERM) || sigismember(&pending, SIGINT));
    sigset_t stop = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    if (stopped) {
      OnSignal(sigismember(&pending, SIGTERM) ? SIGTERM : SIGINT);
      return;
    }
  }
  int code = loop_.Run(0);
  HLOG_INFO(log_, "loop exit with code: %d", code);
}

int Context::ExitLoop() {
  HLOG_INFO(log_, "exit loop");
  return loop_.Exit(0);
}

void Context::OnSignal(int signal_number) {
  HLOG_INFO(log_, "catch signal: %d (%s)", signal_number, SignalName(signal_number));
  loop_.Exit(0);
}

bool Context::ReadHostname() {
  return ReadHostnameFrom(kIdentityFiles, kIdentityFileCount);
}

bool Context::ReadHostnameFrom(const char* const* paths, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    // A missing or oversized file adds nothing, nor does a link or anything but a regular file
    // (/tmp is writable by everyone); a blank one trims back to empty.
    ReadFile(paths[i], hostname_, kMaxIdentitySize);
    hostname_ = Trim(hostname_, kWhiteSpace);
    if (!hostname_.empty()) {
      HLOG_DEBUG(log_, "read hostname from '%s': %s", paths[i], hostname_.c_str());
      return true;
    }
  }
  // One spare zero byte: a name cut at the limit still ends inside the buffer.
  char name[kMaxIdentitySize + 1] = {0};
  gethostname(name, kMaxIdentitySize);
  hostname_ = name;
  if (!hostname_.empty()) {
    HLOG_DEBUG(log_, "read hostname from system: %s", hostname_.c_str());
    return true;
  }
  HLOG_ERROR(log_, "read system hostname failed");
  return false;
}

}  // namespace palvex
