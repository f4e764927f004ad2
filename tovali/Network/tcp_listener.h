// One non-blocking listening TCP socket of one family on the event loop. Each incoming
// connection is accepted on the loop thread and handed over as a ready TcpStream (on_stream) or
// as a bare descriptor (on_fd); failures of the listening socket after a successful Start go to
// on_error. An accept failure that concerns only the connection being accepted (it was reset,
// its network went away, ...) is skipped; running out of descriptors or memory pauses accepting
// for kAcceptPauseMs instead of failing. An IPv6 listener takes no IPv4-mapped peers. Loop thread
// only.
//
// Lifetime: the owner may destroy the listener inside on_fd, on_stream and on_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tovali/Network/event_loop.h"
#include "tovali/log/log_handle.h"

struct event_base;

namespace tovali {

class TcpStream;

class TcpListener {
 public:
  // Result of Start and argument of on_error.
  enum Code : int {
    Ok = 0,
    SocketFailed = 1,
    NonBlockFailed = 2,  // no longer produced: the socket is created non-blocking
    InvalidAddress = 3,
    BindFailed = 4,         // on every port tried
    ListenFailed = 5,       // also: the listening socket later reported an error
    WatcherInitFailed = 6,  // binding the accept or error watcher
    WatcherStartFailed = 7,
    AcceptFailed = 8,  // accept failed for a reason of the listening socket itself
  };

  static constexpr uint64_t kAcceptPauseMs = 100;

  // The log tag is tag_prefix + "[TCP]". Logs "CREATE" at info unless quiet.
  TcpListener(event_base* loop, bool ipv4, std::string tag_prefix, bool quiet,
              std::string log_name);
  // Stop(), then logs "DELETE" at info unless quiet. Calls nothing back.
  ~TcpListener();

  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Binds `ip` (empty: the family's any-address) and the first free port of
  // port .. port + port_span, listens and starts accepting; the port field then holds the
  // actual port. Writes no log line and calls nothing back. After a failure the listener holds
  // no socket and Start may be called again; not to be called while listening.
  Code Start(unsigned short port, std::string ip);
  // Stops accepting and closes the socket; Start may then be called again.
  void Stop();

  // Loop callbacks of the two watchers; not for owners.
  void OnAccept();
  void OnListenError();
  // Stops taking connections off the queue for `ms`, then goes on by itself; a later Pause
  // moves the end. The owner's way to hold off while it cannot serve more.
  void Pause(uint64_t ms);
  // Accepting is paused (after running out of descriptors, or by Pause).
  bool accept_paused() const { return pause_timer_.IsPending(); }

 private:
  event_base* loop_;
  bool ipv4_;
  LogHandle log_;

 public:
  // Address and port listened on, set by Start; for reading.
  std::string ip;
  uint16_t port = 0;

  // Switches, set between construction and Start.
  std::string bind_nic;
  int backlog = 128;
  bool reuse_port = false;
  bool reuse_addr = false;
  // How many ports after the requested one Start may try.
  uint32_t port_span = 0;
  // Read buffer size of the streams made for on_stream (TcpStream::SetReadSize; 0: its default).
  size_t stream_read_size = 0;

 private:
  int fd_ = -1;
  // Re-created by every Start, so that a listener can start again on a new socket.
  std::optional<IoWatcher> accept_watcher_;
  std::optional<IoWatcher> error_watcher_;
  Timer pause_timer_;

 public:
  // Takes each accepted descriptor (already non-blocking, TCP_NODELAY on) instead of a stream;
  // the callee owns it.
  std::function<void(int fd)> on_fd;
  // Takes each accepted connection as an open stream; the callee owns it. Without on_fd and
  // on_stream an accepted connection is closed at once.
  std::function<void(TcpStream* stream)> on_stream;
  // Failure of the listening socket (ListenFailed, AcceptFailed); the listener stays active.
  std::function<void(Code code)> on_error;
  // Accepting has just paused for kAcceptPauseMs because descriptors or memory ran out (`err`
  // is the errno); may stay empty. The owner may destroy the listener inside it.
  std::function<void(int err)> on_pause;
};

}  // namespace tovali
