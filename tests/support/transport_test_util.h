// Helpers for the transport tests: a fresh event loop per test, and plain blocking sockets on
// loopback to play the peer.
#pragma once

#include <event2/event.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/loop_fixture.h"
#include "tovali/Network/event_loop.h"

namespace transport_test {

// Each test gets its own loop; at the end the loop holds no more added events than at start.
class LoopTest : public tovali_test::LoopFixture {
 protected:
  void TearDown() override;

  // Runs loop iterations until `done` holds; false if it still does not after `guard_ms`
  // (a hang guard, not a timing check).
  bool RunUntil(const std::function<bool()>& done, uint64_t guard_ms = 10000);
  // Runs exactly one loop iteration (waiting for the first active event).
  void RunOnce(uint64_t guard_ms = 10000);

  // Closes `fd` at tear-down (after the derived fixture released its objects); passes it through.
  int Keep(int fd) {
    if (fd >= 0)
      fds_.push_back(fd);
    return fd;
  }

  std::vector<int> fds_;
};

std::string Loopback(bool ipv4);

// Plain blocking sockets; each returns -1 (after a test failure) when a call fails.
int ListenOn(bool ipv4, uint16_t* port, const std::string& ip = "", bool reuse = false);
int BoundNotListening(bool ipv4, uint16_t* port);
int ConnectTo(bool ipv4, uint16_t port, const std::string& ip = "");
int AcceptFrom(int listen_fd);
// A connected loopback pair: `ours` is non-blocking, for a stream to adopt.
bool ConnectedPair(bool ipv4, int* ours, int* peer);

// Blocking helpers on a peer socket.
bool SendAll(int fd, const std::string& bytes);
std::string ReadExactly(int fd, size_t n);
// Waits (bounded) until `fd` has `n` bytes readable.
bool WaitReadable(int fd, size_t n);
// True once the peer has closed `fd`'s connection (reads to EOF).
bool ReadsEof(int fd);

uint16_t LocalPortOf(int fd);
uint16_t RemotePortOf(int fd);
int OpenDescriptors();

}  // namespace transport_test
