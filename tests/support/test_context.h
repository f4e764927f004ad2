// A run context for tests: exposes the protected parts of Context and runs a callback on the
// loop's first pass.
#pragma once

#include <functional>
#include <utility>

#include "base/Context.h"
#include "tovali/Network/event_loop.h"

namespace palvex_test {

class TestContext : public palvex::Context {
 public:
  // Runs `callback` when the loop starts (a 0 ms timer).
  void OnStart(std::function<void()> callback) {
    start_.Init(loop_.base(), std::move(callback));
    start_.Start(0);
  }

  using Context::hostname_;
  using Context::log_;
  using Context::loop_;
  using Context::ReadHostnameFrom;

 private:
  tovali::Timer start_;
};

}  // namespace palvex_test
