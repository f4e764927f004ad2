// A thin layer over libevent: the loop and four watcher types that each own one event and one
// callback. Everything here runs on the loop's thread, except AsyncEvent::Notify.
//
// Binding operations (IoWatcher::Start, Timer::Init, AsyncEvent::Init, SignalWatcher::Start)
// return, tested in this order: -1 null loop, -2 empty callback, -3 already bound,
// -5 (AsyncEvent only) eventfd failed, -4 event_new failed, 0 bound. On -1..-3 the caller's
// callback is left untouched; from -5/-4 on it has been moved in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

struct event;
struct event_base;

namespace tovali {

class EventLoop {
 public:
  EventLoop() = default;
  // Destroys the base if the owner has not; watchers must be gone before.
  ~EventLoop() { Destroy(); }
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Millisecond timers through the backend's own wait instead of a precise timer (with epoll, a
  // timerfd, one more system call whenever the earliest deadline moves): for a server whose
  // deadlines are seconds long and change with every connection.
  static constexpr int kCoarseTimers = 16;
  // flags: bit 1 avoids select, 2 poll, 4 kqueue, 8 epoll; kCoarseTimers. base() is null on
  // failure.
  void Create(int flags);
  void Destroy();
  // Runs event_base_loop: 0 after exit/break, 1 when no events remain, -1 on error or no base.
  int Run(int flags);
  int Break();
  // 0 ms: ends after the callbacks active in this iteration.
  int Exit(uint64_t ms);

  event_base* base() const { return base_; }

 private:
  event_base* base_ = nullptr;
};

class IoWatcher {
 public:
  IoWatcher() = default;
  ~IoWatcher();
  IoWatcher(const IoWatcher&) = delete;
  IoWatcher& operator=(const IoWatcher&) = delete;

  // `events` are libevent flags (EV_READ/EV_WRITE, usually with EV_PERSIST). Does not add.
  int Start(event_base* loop, int fd, short events, std::function<void()>&& callback);
  int Enable();   // -1 if not started
  int Disable();  // 0 if not started
  bool IsPending() const;
  bool IsBound() const { return event_ != nullptr; }

 private:
  static void OnEvent(int fd, short what, void* arg);
  std::function<void()> callback_;
  event* event_ = nullptr;
};

class Timer {
 public:
  Timer() = default;
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  int Init(event_base* loop, std::function<void()>&& callback);
  // 0 ms fires on the next loop iteration, never inside Start. Restarting moves the deadline,
  // also when an earlier Start(0) has not fired yet. -1 if not initialised.
  int Start(uint64_t ms);
  // Stores the repeat interval (0: one shot), then Start(ms). A repeating timer re-arms before
  // its callback runs, so the callback may Stop it or move it.
  int Start(uint64_t ms, uint64_t repeat_ms);
  int Stop();  // 0 if not initialised; keeps the repeat interval
  bool IsPending() const;

 private:
  static void OnEvent(int fd, short what, void* arg);
  event* event_ = nullptr;
  std::function<void()> callback_;
  uint64_t repeat_ms_ = 0;
};

class AsyncEvent {
 public:
  AsyncEvent() = default;
  ~AsyncEvent();
  AsyncEvent(const AsyncEvent&) = delete;
  AsyncEvent& operator=(const AsyncEvent&) = delete;

  int Init(event_base* loop, std::function<void()>&& callback);
  int Start();  // -1 if not initialised
  int Stop();   // 0 if not initialised
  // The only call allowed from another thread. Any number of notifies between two loop
  // iterations give one callback. 0 on success (or counter saturated), -1 otherwise.
  int Notify();

 private:
  static void OnEvent(int fd, short what, void* arg);
  std::function<void()> callback_;
  event* event_ = nullptr;
  int fd_ = -1;
};

class SignalWatcher {
 public:
  SignalWatcher() = default;
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  int Start(event_base* loop, int signal_number, std::function<void(int)>&& callback);
  int Enable();   // -1 if not started
  int Disable();  // 0 if not started

 private:
  static void OnEvent(int fd, short what, void* arg);
  std::function<void(int)> callback_;
  event* event_ = nullptr;
};

// Destroys objects, or runs functions, on a later pass of the loop and never inside the call that
// queues them, so that an owner can let go of a component from inside that component's own
// callback: the component finishes its callback on live memory and dies afterwards. Loop thread
// only. Whatever is still queued when the queue is cleared or destroyed dies with it; queued
// functions are then not run.
class DeferredQueue {
 public:
  DeferredQueue() = default;
  ~DeferredQueue() { Clear(); }
  DeferredQueue(const DeferredQueue&) = delete;
  DeferredQueue& operator=(const DeferredQueue&) = delete;

  // Binding codes as above (-1 null loop, -3 already bound, -4 event_new failed).
  int Init(event_base* loop);
  // Queues `object` for destruction; a null pointer is ignored. Without Init the object is
  // destroyed with the queue.
  template <typename T>
  void DeleteSoon(std::unique_ptr<T> object) {
    if (object)
      RunSoon([held = std::shared_ptr<T>(std::move(object))] {});
  }
  // Queues `fn`. A function may queue more (run on a later pass) or destroy the queue's owner;
  // the rest of its batch then still runs.
  void RunSoon(std::function<void()> fn);
  // Destroys everything queued, running nothing.
  void Clear();
  size_t size() const { return pending_.size(); }

 private:
  void RunPending();
  Timer timer_;
  std::vector<std::function<void()>> pending_;
};

}  // namespace tovali
