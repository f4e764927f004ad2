// The children an owner holds and lets go of when they say they are finished. A child may
// report that it has finished from inside one of its own callbacks: Release takes it out of the
// set at once but destroys it on a later loop pass, so the child's callback returns on live
// memory. One small node a child: a server holds thousands of mostly idle ones. Loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "tovali/Network/event_loop.h"

struct event_base;

namespace tovali {

template <typename T>
class OwnedSet {
 public:
  OwnedSet() = default;
  // Destroys the children still held, then whatever waits for its later pass.
  ~OwnedSet() {
    children_.clear();
    finished_.Clear();
  }

  OwnedSet(const OwnedSet&) = delete;
  OwnedSet& operator=(const OwnedSet&) = delete;

  // Binding codes of DeferredQueue::Init. Without it a released child dies with the set.
  int Init(event_base* loop) { return finished_.Init(loop); }

  // Takes ownership of `child` as the newest; returns it.
  T* Add(std::unique_ptr<T> child) {
    T* raw = child.get();
    children_.emplace(raw, Entry{std::move(child), next_++});
    return raw;
  }

  // `child` is finished: out of the set now, destroyed on a later pass. False (nothing done) when
  // the set does not hold it, so that a second report is harmless.
  bool Release(T* child) {
    auto it = children_.find(child);
    if (it == children_.end())
      return false;
    finished_.DeleteSoon(std::move(it->second.child));
    children_.erase(it);
    return true;
  }

  // Hands `child` back to the caller, who destroys it at once (never from inside the child's
  // own callbacks); null when the set does not hold it.
  std::unique_ptr<T> Take(T* child) {
    auto it = children_.find(child);
    if (it == children_.end())
      return nullptr;
    std::unique_ptr<T> taken = std::move(it->second.child);
    children_.erase(it);
    return taken;
  }

  // Calls `last_words` on every child, then releases them all. `last_words` must not add
  // children.
  template <typename F>
  void ReleaseAll(F&& last_words) {
    Children leaving;
    leaving.swap(children_);
    for (auto& entry : leaving) {
      last_words(*entry.second.child);
      finished_.DeleteSoon(std::move(entry.second.child));
    }
  }

  // Calls `fn` on every child; `fn` must neither add nor release.
  template <typename F>
  void ForEach(F&& fn) const {
    for (const auto& entry : children_)
      fn(*entry.second.child);
  }

  // The child added first of those still held; a walk over the set, for small sets.
  T* oldest() const {
    const Entry* first = nullptr;
    for (const auto& entry : children_) {
      if (first == nullptr || entry.second.order < first->order)
        first = &entry.second;
    }
    return first != nullptr ? first->child.get() : nullptr;
  }
  size_t size() const { return children_.size(); }
  bool empty() const { return children_.empty(); }

 private:
  struct Entry {
    std::unique_ptr<T> child;
    uint64_t order;
  };
  using Children = std::unordered_map<T*, Entry>;

  Children children_;
  uint64_t next_ = 0;
  DeferredQueue finished_;
};

}  // namespace tovali
