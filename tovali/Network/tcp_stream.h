// One non-blocking TCP connection of one family on the event loop: either opened by Connect or
// adopted from a listener by Accept. Reads into its thread's scratch buffer (one per loop, so
// that an idle connection holds no read buffer) and hands each chunk to on_data,
// queues outgoing bytes and writes them as the socket accepts them, and reports the end of the
// connection exactly once through on_error. Writes no log lines. Loop thread only.
//
// Codes (results and on_error arguments) are TcpStream::Code; "saved" paths also set
// saved_errno.
//
// Lifetime: the owner may destroy the stream inside any of its callbacks (on_open, on_data,
// on_error, on_sent); the stream touches nothing of itself afterwards. Letting go of it through a
// DeferredQueue is the simpler way, since the owner's own code may then go on after the release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "tovali/Network/event_loop.h"

struct event_base;

namespace tovali {

class TcpStream {
 public:
  enum Code : int {
    Ok = 0,
    SocketFailed = 1,    // saved
    NonBlockFailed = 2,  // no longer produced: the socket is created non-blocking
    BadBindIp = 3,       // bind_ip is not an address of the stream's family
    BindFailed = 4,      // saved only with bind_ip
    BadRemoteIp = 5,     // the remote address is not numeric text of the stream's family
    // At once, asynchronously or because the local address is unreadable (connect_errno).
    ConnectFailed = 7,
    PeerClosed = 8,
    ConnectWatcherInitFailed = 9,
    ConnectWatcherStartFailed = 10,
    WriteWatcherInitFailed = 11,
    WriteWatcherStartFailed = 12,  // Send
    ReadWatcherInitFailed = 13,
    ReadWatcherStartFailed = 14,
    NotOpen = 15,        // not open, or nothing to send
    OptionFailed = 21,   // keep-alive or reuse option with fail_on_option_error (saved)
    DeviceFailed = 25,   // interface binding with fail_on_option_error (saved)
    IoErrorBase = 1000,  // + errno: recv or send failed
  };

  TcpStream(event_base* loop, bool ipv4);
  // Writes the queue synchronously first when flush_on_close is set; never calls on_error.
  ~TcpStream();

  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  // Starts a non-blocking connect. 0: the outcome comes later through on_open or on_error,
  // never before Connect returns. Non-zero: the stream stays new; the owner destroys it.
  // With local_port set, the reuse switches are applied before the bind. Call at most once.
  int Connect(const std::string& ip, uint16_t port);
  // Adopts an accepted, non-blocking socket and opens at once; calls nothing back. On failure
  // the socket is closed.
  int Accept(int fd, const std::string& ip, uint16_t port);

  // Loop callbacks of the two watchers; not for owners.
  void OnWritable();
  void OnConnected();
  void OnRead();
  void OnWrite();

  // Both return Ok, WriteWatcherStartFailed or NotOpen and never call back. Without
  // write_through they never write synchronously. The moving form queues the string as one
  // chunk; the copying form joins small writes into chunks of about 2048 bytes.
  int Send(std::string&& data);
  int Send(const char* data, size_t len);
  // Closes the socket; on the first call only, reports a non-zero code through on_error as the
  // very last action. The send queue is left untouched.
  void Close(int code);

  // Fetched from the socket when still unknown; unchanged when that fails.
  const std::string& LocalIp();
  uint16_t LocalPort();
  const std::string& RemoteIp();
  uint16_t RemotePort();

  // Smoothed round-trip time and variance from TCP_INFO, in ms (both 0 when unreadable).
  void UpdateRtt();
  uint32_t rtt_ms() const { return rtt_ms_; }
  uint32_t rtt_var_ms() const { return rtt_var_ms_; }

  // Most bytes taken by each recv and handed to one on_data (32768 by default). Takes effect
  // only before the stream opens. 0 is ignored.
  void SetReadSize(size_t bytes) {
    if (bytes != 0 && state_ == kNew)
      read_size_ = bytes;
  }

  size_t PendingBytes() const;
  // Chunks in the send queue (diagnostics).
  size_t QueuedChunks() const { return send_queue_.size(); }
  // The socket's SO_SNDBUF; -1 without a socket or on failure.
  int GetSendBufferSize();
  int SetSendBufferSize(int bytes);

 private:
  struct Chunk {
    std::string bytes;
    size_t sent = 0;
  };

  // With write_through and an empty queue: sends what the socket takes now; the count written.
  size_t WriteThrough(const char* data, size_t len);
  // The write watcher is bound when something first has to wait for the socket: most
  // connections never need it. Ok or WriteWatcherStartFailed.
  int ArmWriter();
  bool FetchLocal();
  bool FetchRemote();
  int BindLocal();

  int state_ = kNew;
  event_base* loop_;

 public:
  const bool ipv4;

 private:
  int fd_ = -1;
  IoWatcher write_watcher_;
  IoWatcher read_watcher_;

 public:
  // Configuration, set between construction and Connect.
  std::string bind_nic;
  std::string bind_ip;
  // Required before Connect; without it an opened connection just goes on.
  std::function<void()> on_open;
  // Required before the stream opens; without it received bytes are dropped. A negative result
  // stops delivery until the next readiness event. `data` stays valid for the whole call, also
  // when the callee closes the stream.
  std::function<int(const char* data, size_t len)> on_data;
  // Called once with a non-zero code when the stream ends; may stay empty.
  std::function<void(int code)> on_error;
  // The send queue became empty; may stay empty.
  std::function<void()> on_sent;
  bool reuse_port = false;
  bool reuse_addr = false;
  bool keepalive = false;

 private:
  std::string local_ip_;

 public:
  // Before Connect: the local port to bind (0: the kernel chooses). Once open: the actual port.
  uint16_t local_port = 0;

 private:
  std::string remote_ip_;
  uint16_t remote_port_ = 0;
  size_t read_size_ = 32768;
  static constexpr size_t kReadBudget = 64 * 1024;  // bytes one readiness event delivers at most
  static constexpr size_t kChunkSize = 2048;
  std::list<Chunk> send_queue_;  // a list: an empty one allocates nothing

 public:
  bool flush_on_close = false;
  // Send writes at once what the socket takes while nothing is queued, and queues only the rest:
  // a short message costs no write-readiness round through the loop. on_sent then fires only
  // for bytes that had to be queued.
  bool write_through = false;
  // Close with a reset (SO_LINGER 0) instead of a FIN: this side keeps no TIME_WAIT entry, for a
  // client that opens connections faster than TIME_WAIT lets its ports go.
  bool reset_on_close = false;

 private:
  uint32_t rtt_ms_ = 0;
  uint32_t rtt_var_ms_ = 0;

 public:
  // Make a failing interface binding, keep-alive or reuse option fail Connect (OptionFailed,
  // DeviceFailed).
  bool fail_on_option_error = false;
  // errno of the last failing call on the saved paths; never reset.
  int saved_errno = 0;
  // Why a connect failed (ConnectFailed), so that an owner can tell a refusal from an unreachable
  // peer; 0 until then. Kept apart from saved_errno, which a failed connect leaves alone.
  int connect_errno = 0;

 private:
  static constexpr int kNew = 0;
  static constexpr int kOpen = 1;
  static constexpr int kClosed = 2;
  // Set while OnRead delivers: lets it notice that on_data destroyed the stream.
  bool* destroyed_ = nullptr;
};

}  // namespace tovali
