#include "tovali/Network/event_loop.h"

#include <event2/event-config.h>
#include <event2/event.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

// A cross compiler that also searches the build machine's include directories can pick up that
// machine's libevent configuration: its type sizes must be the target's, or event structures
// and calls disagree with the library.
static_assert(EVENT__SIZEOF_LONG == sizeof(long), "event2/event-config.h is not the target's");
static_assert(EVENT__SIZEOF_SIZE_T == sizeof(size_t), "event2/event-config.h is not the target's");
static_assert(EVENT__SIZEOF_VOID_P == sizeof(void*), "event2/event-config.h is not the target's");

namespace tovali {
namespace {

timeval ToTimeval(uint64_t ms) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return tv;
}

// The shared checks of every binding operation, in their order.
template <typename Callback>
int CheckBind(event_base* loop, const Callback& callback, const event* bound) {
  if (loop == nullptr)
    return -1;
  if (!callback)
    return -2;
  if (bound != nullptr)
    return -3;
  return 0;
}

}  // namespace

void EventLoop::Create(int flags) {
  base_ = nullptr;
  event_config* config = event_config_new();
  if (config == nullptr)
    return;
  int base_flags = EVENT_BASE_FLAG_IGNORE_ENV;
  if (!(flags & kCoarseTimers))
    base_flags |= EVENT_BASE_FLAG_PRECISE_TIMER;
  event_config_set_flag(config, base_flags);
  if (flags & 1)
    event_config_avoid_method(config, "select");
  if (flags & 2)
    event_config_avoid_method(config, "poll");
  if (flags & 4)
    event_config_avoid_method(config, "kqueue");
  if (flags & 8)
    event_config_avoid_method(config, "epoll");
  base_ = event_base_new_with_config(config);
  event_config_free(config);
}

void EventLoop::Destroy() {
  if (base_ != nullptr) {
    event_base_free(base_);
    base_ = nullptr;
  }
}

int EventLoop::Run(int flags) {
  if (base_ == nullptr)
    return -1;
  return event_base_loop(base_, flags);
}

int EventLoop::Break() {
  if (base_ == nullptr)
    return 0;
  return event_base_loopbreak(base_);
}

int EventLoop::Exit(uint64_t ms) {
  if (base_ == nullptr)
    return 0;
  if (ms == 0)
    return event_base_loopexit(base_, nullptr);
  timeval tv = ToTimeval(ms);
  return event_base_loopexit(base_, &tv);
}

// ---- DeferredQueue

int DeferredQueue::Init(event_base* loop) {
  return timer_.Init(loop, [this] { RunPending(); });
}

void DeferredQueue::RunSoon(std::function<void()> fn) {
  pending_.push_back(std::move(fn));
  timer_.Start(0);
}

void DeferredQueue::Clear() {
  // Destructors may queue more; those die here too.
  while (!pending_.empty()) {
    std::vector<std::function<void()>> batch;
    batch.swap(pending_);
  }
}

void DeferredQueue::RunPending() {
  std::vector<std::function<void()>> batch;
  batch.swap(pending_);
  for (std::function<void()>& fn : batch)
    fn();
  // The batch (and what it holds) dies here: no member is touched, the owner may be gone.
}

// ---- IoWatcher

IoWatcher::~IoWatcher() {
  if (event_ != nullptr)
    event_free(event_);
}

int IoWatcher::Start(event_base* loop, int fd, short events, std::function<void()>&& callback) {
  int rc = CheckBind(loop, callback, event_);
  if (rc != 0)
    return rc;
  callback_ = std::move(callback);
  event_ = event_new(loop, fd, events, &IoWatcher::OnEvent, this);
  return event_ == nullptr ? -4 : 0;
}

int IoWatcher::Enable() {
  if (event_ == nullptr)
    return -1;
  return event_add(event_, nullptr);
}

int IoWatcher::Disable() {
  if (event_ == nullptr)
    return 0;
  return event_del(event_);
}

bool IoWatcher::IsPending() const {
  return event_ != nullptr && event_pending(event_, EV_READ | EV_WRITE, nullptr) != 0;
}

void IoWatcher::OnEvent(int, short, void* arg) {
  static_cast<IoWatcher*>(arg)->callback_();
}

// ---- Timer

Timer::~Timer() {
  if (event_ != nullptr)
    event_free(event_);
}

int Timer::Init(event_base* loop, std::function<void()>&& callback) {
  int rc = CheckBind(loop, callback, event_);
  if (rc != 0)
    return rc;
  callback_ = std::move(callback);
  event_ = event_new(loop, -1, EV_TIMEOUT, &Timer::OnEvent, this);
  return event_ == nullptr ? -4 : 0;
}

int Timer::Start(uint64_t ms) {
  if (event_ == nullptr)
    return -1;
  if (ms == 0) {
    event_active(event_, 0, 0);
    return 0;
  }
  // Drop any earlier arming first: a Start(0) activation not yet run would otherwise still fire
  // now, ignoring the new deadline.
  event_del(event_);
  timeval tv = ToTimeval(ms);
  return event_add(event_, &tv);
}

int Timer::Start(uint64_t ms, uint64_t repeat_ms) {
  repeat_ms_ = repeat_ms;
  return Start(ms);
}

int Timer::Stop() {
  if (event_ == nullptr)
    return 0;
  return event_del(event_);
}

bool Timer::IsPending() const {
  return event_ != nullptr && event_pending(event_, EV_TIMEOUT, nullptr) != 0;
}

void Timer::OnEvent(int, short, void* arg) {
  Timer* self = static_cast<Timer*>(arg);
  if (self->repeat_ms_ != 0)
    self->Start(self->repeat_ms_);
  // The callback may destroy the timer's owner: nothing follows it.
  self->callback_();
}

// ---- AsyncEvent

AsyncEvent::~AsyncEvent() {
  if (event_ != nullptr)
    event_free(event_);
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

int AsyncEvent::Init(event_base* loop, std::function<void()>&& callback) {
  int rc = CheckBind(loop, callback, event_);
  if (rc != 0)
    return rc;
  callback_ = std::move(callback);
  fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0)
    return -5;
  event_ = event_new(loop, fd_, EV_READ | EV_PERSIST, &AsyncEvent::OnEvent, this);
  if (event_ == nullptr) {
    // Nothing half-bound: a later Init would otherwise leak this descriptor.
    close(fd_);
    fd_ = -1;
    return -4;
  }
  return 0;
}

int AsyncEvent::Start() {
  if (event_ == nullptr)
    return -1;
  return event_add(event_, nullptr);
}

int AsyncEvent::Stop() {
  if (event_ == nullptr)
    return 0;
  return event_del(event_);
}

int AsyncEvent::Notify() {
  uint64_t one = 1;
  ssize_t n = write(fd_, &one, sizeof(one));
  if (n == static_cast<ssize_t>(sizeof(one)))
    return 0;
  if (n < 0 && errno == EAGAIN)
    return 0;
  return -1;
}

void AsyncEvent::OnEvent(int, short, void* arg) {
  AsyncEvent* self = static_cast<AsyncEvent*>(arg);
  uint64_t count = 0;
  if (read(self->fd_, &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count))) {
    self->callback_();
  }
}

// ---- SignalWatcher

SignalWatcher::~SignalWatcher() {
  if (event_ != nullptr)
    event_free(event_);
}

int SignalWatcher::Start(event_base* loop, int signal_number, std::function<void(int)>&& callback) {
  int rc = CheckBind(loop, callback, event_);
  if (rc != 0)
    return rc;
  callback_ = std::move(callback);
  event_ = event_new(loop, signal_number, EV_SIGNAL | EV_PERSIST, &SignalWatcher::OnEvent, this);
  return event_ == nullptr ? -4 : 0;
}

int SignalWatcher::Enable() {
  if (event_ == nullptr)
    return -1;
  return event_add(event_, nullptr);
}

int SignalWatcher::Disable() {
  if (event_ == nullptr)
    return 0;
  return event_del(event_);
}

void SignalWatcher::OnEvent(int, short, void* arg) {
  SignalWatcher* self = static_cast<SignalWatcher*>(arg);
  self->callback_(event_get_signal(self->event_));
}

}  // namespace tovali
