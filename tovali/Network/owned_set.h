// The children an owner holds, oldest first, and lets go of when they say they are finished. A
// child may report that it has finished from inside one of its own callbacks: Release takes it
// out of the set at once but destroys it on a later loop pass, so the child's callback returns
// on live memory. Loop thread only.
#pragma once

#include <cstddef>
#include <iterator>
#include <list>
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
    index_.clear();
    finished_.Clear();
  }

  OwnedSet(const OwnedSet&) = delete;
  OwnedSet& operator=(const OwnedSet&) = delete;

  // Binding codes of DeferredQueue::Init. Without it a released child dies with the set.
  int Init(event_base* loop) { return finished_.Init(loop); }

  // Takes ownership of `child` as the newest; returns it.
  T* Add(std::unique_ptr<T> child) {
    T* raw = child.get();
    children_.push_back(std::move(child));
    index_.emplace(raw, std::prev(children_.end()));
    return raw;
  }

  // `child` is finished: out of the set now, destroyed on a later pass. False (nothing done) when
  // the set does not hold it, so that a second report is harmless.
  bool Release(T* child) {
    auto it = index_.find(child);
    if (it == index_.end())
      return false;
    finished_.DeleteSoon(std::move(*it->second));
    children_.erase(it->second);
    index_.erase(it);
    return true;
  }

  // Hands `child` back to the caller, who destroys it at once (never from inside the child's
  // own callbacks); null when the set does not hold it.
  std::unique_ptr<T> Take(T* child) {
    auto it = index_.find(child);
    if (it == index_.end())
      return nullptr;
    std::unique_ptr<T> taken = std::move(*it->second);
    children_.erase(it->second);
    index_.erase(it);
    return taken;
  }

  // Calls `last_words` on every child, oldest first, then releases them all. `last_words` must
  // not add children.
  template <typename F>
  void ReleaseAll(F&& last_words) {
    std::list<std::unique_ptr<T>> leaving;
    leaving.swap(children_);
    index_.clear();
    for (auto& child : leaving) {
      last_words(*child);
      finished_.DeleteSoon(std::move(child));
    }
  }

  // Calls `fn` on every child, oldest first; `fn` must neither add nor release.
  template <typename F>
  void ForEach(F&& fn) const {
    for (const auto& child : children_)
      fn(*child);
  }

  T* oldest() const { return children_.empty() ? nullptr : children_.front().get(); }
  size_t size() const { return children_.size(); }
  bool empty() const { return children_.empty(); }

 private:
  std::list<std::unique_ptr<T>> children_;
  std::unordered_map<T*, typename std::list<std::unique_ptr<T>>::iterator> index_;
  DeferredQueue finished_;
};

}  // namespace tovali
