#include "tovali/Network/tcp_listener.h"

#include <event2/event.h>
#include <event2/util.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "tovali/Network/socket_util.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/log/logger.h"

namespace tovali {
namespace {

// Beyond this many tries every port has been tried once.
constexpr uint64_t kMaxPortTries = 65536;

// accept(2) failures that belong to the one pending connection, not to the listening socket.
bool IsConnectionError(int err) {
  switch (err) {
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM:
      return true;
    default:
      return false;
  }
}

// The process or the system ran out of something that closing connections gives back.
bool IsExhaustion(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace

TcpListener::TcpListener(event_base* loop, bool ipv4, std::string tag_prefix, bool quiet,
                         std::string log_name)
    : loop_(loop), ipv4_(ipv4), log_(std::move(tag_prefix) + "[TCP]", !quiet, std::move(log_name)) {
  HLOG_INFO(log_, "CREATE");
  pause_timer_.Init(loop_, [this] {
    if (accept_watcher_)
      accept_watcher_->Enable();
  });
}

TcpListener::~TcpListener() {
  Stop();
  HLOG_INFO(log_, "DELETE");
}

TcpListener::Code TcpListener::Start(unsigned short port, std::string ip) {
  if (ip.empty())
    ip = ipv4_ ? "0.0.0.0" : "::";
  if (!(ipv4_ ? IsIPv4(ip) : IsIPv6(ip)))
    return InvalidAddress;
  this->ip = std::move(ip);
  this->port = port;

  Stop();  // each start gets a fresh socket
  fd_ = socket(ipv4_ ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0)
    return SocketFailed;
  SetNoDelay(fd_, true);
  if (!ipv4_ && SetV6Only(fd_, true) != 0) {
    // A dual-stack socket would take IPv4 peers into an IPv6 listener.
    Stop();
    return SocketFailed;
  }
  if (reuse_addr)
    SetReuseAddr(fd_, true);
  if (reuse_port)
    SetReusePort(fd_, true);
  if (!bind_nic.empty())
    BindToDevice(fd_, bind_nic.c_str());

  // A span past the whole port range would only repeat ports (and never end at UINT32_MAX).
  const uint64_t tries = std::min<uint64_t>(uint64_t{port_span} + 1, kMaxPortTries);
  bool bound = false;
  for (uint64_t i = 0; i < tries && !bound; ++i) {
    uint16_t candidate = static_cast<uint16_t>(this->port + i);
    SockAddr addr;
    socklen_t len;
    ToSockAddr(ipv4_, this->ip, candidate, &addr, &len);
    if (bind(fd_, addr.get(), len) == 0) {
      this->port = candidate;
      bound = true;
    }
  }
  if (!bound) {
    Stop();
    return BindFailed;
  }
  if (listen(fd_, backlog) != 0) {
    Stop();
    return ListenFailed;
  }
  if (this->port == 0) {
    SockAddr addr;
    socklen_t len = ipv4_ ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (getsockname(fd_, addr.get(), &len) == 0)
      this->port = SockAddrPort(addr.get());
  }

  accept_watcher_.emplace();
  error_watcher_.emplace();
  if (accept_watcher_->Start(loop_, fd_, EV_READ | EV_PERSIST, [this] { OnAccept(); }) != 0 ||
      error_watcher_->Start(loop_, fd_, EV_WRITE | EV_PERSIST, [this] { OnListenError(); }) != 0) {
    Stop();
    return WatcherInitFailed;
  }
  if (accept_watcher_->Enable() != 0 || error_watcher_->Enable() != 0) {
    Stop();
    return WatcherStartFailed;
  }
  return Ok;
}

void TcpListener::Stop() {
  // Freeing the watchers also removes their events from the loop.
  pause_timer_.Stop();
  accept_watcher_.reset();
  error_watcher_.reset();
  if (fd_ >= 0) {
    evutil_closesocket(fd_);
    fd_ = -1;
  }
}

void TcpListener::OnAccept() {
  SockAddr peer;
  socklen_t len = 0;
  int fd = -1;
  for (;;) {
    len = ipv4_ ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    // Non-blocking from the start: two fcntl calls fewer per connection.
    fd = accept4(fd_, peer.get(), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0)
      break;
    int err = LastError();
    if (IsInterrupted(err) || IsConnectionError(err))
      continue;
    if (IsAgain(err))
      return;
    if (IsExhaustion(err)) {
      HLOG_WARN(log_, "accept paused: errno %d", err);
      Pause(kAcceptPauseMs);
      if (on_pause)
        on_pause(err);
      return;
    }
    if (on_error)
      on_error(AcceptFailed);
    return;
  }
  SetNoDelay(fd, true);
  if (on_fd) {
    on_fd(fd);
    return;
  }
  if (!on_stream) {
    // Nobody to take it: refuse the connection rather than leak it.
    evutil_closesocket(fd);
    return;
  }
  auto stream = std::make_unique<TcpStream>(loop_, ipv4_);
  stream->SetReadSize(stream_read_size);
  if (stream->Accept(fd, SockAddrToText(peer.get()), SockAddrPort(peer.get())) != 0)
    return;
  on_stream(stream.release());
}

void TcpListener::Pause(uint64_t ms) {
  if (!accept_watcher_)
    return;
  accept_watcher_->Disable();
  pause_timer_.Start(ms);
}

void TcpListener::OnListenError() {
  int status = 0;
  socklen_t len = sizeof(status);
  int result = getsockopt(fd_, SOL_SOCKET, SO_ERROR, &status, &len);
  if (result == 0 && status == 0)
    return;
  HLOG_ERROR(log_, "listen socket result:%d status:%d ", result, status);
  if (on_error)
    on_error(ListenFailed);
}

}  // namespace tovali
