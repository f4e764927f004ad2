#include "base/Context.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>

#include "base/Paths.h"
#include "base/Utils.h"
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

Context::Context() : tag_("[APP]") {
  loop_.Create(0);
  deferred_.Init(loop_.base());
  LOG_INFO("", "%s CREATE", tag_.c_str());
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
  LOG_INFO("", "%s DELETE", tag_.c_str());
}

void Context::Run() {
  if (!ReadHostname()) {
    LOG_ERROR("", "%s get hostname failed", tag_.c_str());
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
  LOG_INFO("", "%s loop exit with code: %d", tag_.c_str(), code);
}

int Context::ExitLoop() {
  LOG_INFO("", "%s exit loop", tag_.c_str());
  return loop_.Exit(0);
}

void Context::OnSignal(int signal_number) {
  LOG_INFO("", "%s catch signal: %d (%s)", tag_.c_str(), signal_number, SignalName(signal_number));
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
      LOG_DEBUG("", "%s read hostname from '%s': %s", tag_.c_str(), paths[i], hostname_.c_str());
      return true;
    }
  }
  // One spare zero byte: a name cut at the limit still ends inside the buffer.
  char name[kMaxIdentitySize + 1] = {0};
  gethostname(name, kMaxIdentitySize);
  hostname_ = name;
  if (!hostname_.empty()) {
    LOG_DEBUG("", "%s read hostname from system: %s", tag_.c_str(), hostname_.c_str());
    return true;
  }
  LOG_ERROR("", "%s read system hostname failed", tag_.c_str());
  return false;
}

}  // namespace palvex
