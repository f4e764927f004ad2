#include "tovali/Network/tcp_stream.h"

#include <event2/event.h>
#include <event2/util.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "tovali/Network/socket_util.h"

namespace tovali {

TcpStream::TcpStream(event_base* loop, bool ipv4) : loop_(loop), ipv4(ipv4) {}

TcpStream::~TcpStream() {
  if (flush_on_close && fd_ >= 0) {
    while (!send_queue_.empty()) {
      Chunk& chunk = send_queue_.front();
      size_t left = chunk.bytes.size() - chunk.sent;
      ssize_t n = send(fd_, chunk.bytes.data() + chunk.sent, left, SendFlags());
      if (n <= 0 || static_cast<size_t>(n) < left)
        break;
      send_queue_.pop_front();
    }
  }
  Close(0);
}

int TcpStream::Connect(const std::string& ip, uint16_t port) {
  if (!(ipv4 ? IsIPv4(ip) : IsIPv6(ip)))
    return 5;
  remote_ip_ = ip;
  remote_port_ = port;

  fd_ = socket(ipv4 ? AF_INET : AF_INET6, SOCK_STREAM, 0);
  if (fd_ < 0) {
    saved_errno = LastError();
    return 1;
  }
  if (evutil_make_socket_nonblocking(fd_) != 0) {
    saved_errno = LastError();
    return 2;
  }
  SetNoDelay(fd_, true);
  if (!bind_nic.empty() && BindToDevice(fd_, bind_nic.c_str()) != 0 && fail_on_option_error) {
    saved_errno = LastError();
    return 25;
  }
  if (keepalive && SetKeepAlive(fd_, true, 60000, 30000, 5) != 0 && fail_on_option_error) {
    saved_errno = LastError();
    return 21;
  }
  if (!bind_ip.empty() || local_port != 0) {
    int rc = BindLocal();
    if (rc != 0)
      return rc;
  }

  SockAddr remote;
  socklen_t remote_len = 0;
  ToSockAddr(ipv4, remote_ip_, remote_port_, &remote, &remote_len);
  if (connect(fd_, remote.get(), remote_len) != 0 && !IsInProgress(LastError()))
    return 7;

  if (connect_watcher_.Start(loop_, fd_, EV_WRITE | EV_PERSIST, [this] { OnConnected(); }) != 0)
    return 9;
  if (connect_watcher_.Enable() != 0)
    return 10;
  return 0;
}

// Binds bind_ip (or the wildcard address) with local_port. The reuse switches go on before the
// bind whenever a port is asked for, so that the port of a listener with the same switches can
// be shared. An address of the other family is refused: converting it for this family would
// bind whatever the failed conversion left behind.
int TcpStream::BindLocal() {
  if (!bind_ip.empty() && !(ipv4 ? IsIPv4(bind_ip) : IsIPv6(bind_ip)))
    return 3;
  if (local_port != 0) {
    if (reuse_port && SetReusePort(fd_, true) != 0 && fail_on_option_error) {
      saved_errno = LastError();
      return 21;
    }
    if (reuse_addr && SetReuseAddr(fd_, true) != 0 && fail_on_option_error) {
      saved_errno = LastError();
      return 21;
    }
  }
  SockAddr local;
  socklen_t local_len = 0;
  ToSockAddr(ipv4, bind_ip, local_port, &local, &local_len);
  if (bind(fd_, local.get(), local_len) != 0) {
    if (!bind_ip.empty())
      saved_errno = LastError();
    return 4;
  }
  return 0;
}

int TcpStream::Accept(int fd, const std::string& ip, uint16_t port) {
  fd_ = fd;
  remote_ip_ = ip;
  remote_port_ = port;
  int rc = 0;
  if (write_watcher_.Start(loop_, fd_, EV_WRITE | EV_PERSIST, [this] { OnWrite(); }) != 0) {
    rc = 11;
  } else if (read_watcher_.Start(loop_, fd_, EV_READ | EV_PERSIST, [this] { OnRead(); }) != 0) {
    rc = 13;
  } else if (read_watcher_.Enable() != 0) {
    rc = 14;
  }
  if (rc != 0) {
    evutil_closesocket(fd_);
    fd_ = -1;
    return rc;
  }
  if (!read_buffer_)
    read_buffer_.reset(new char[read_size_]);
  state_ = kOpen;
  return 0;
}

void TcpStream::OnConnected() {
  connect_watcher_.Disable();
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
    Close(7);
    return;
  }
  if (!FetchLocal()) {
    Close(7);
    return;
  }
  if (write_watcher_.Start(loop_, fd_, EV_WRITE | EV_PERSIST, [this] { OnWrite(); }) != 0) {
    Close(11);
    return;
  }
  if (read_watcher_.Start(loop_, fd_, EV_READ | EV_PERSIST, [this] { OnRead(); }) != 0) {
    Close(13);
    return;
  }
  if (read_watcher_.Enable() != 0) {
    Close(14);
    return;
  }
  if (!read_buffer_)
    read_buffer_.reset(new char[read_size_]);
  state_ = kOpen;
  // One-shot: taken out first, so the owner may destroy the stream inside it.
  std::function<void()> opened = std::move(on_open);
  on_open = nullptr;
  if (opened)
    opened();
}

void TcpStream::OnRead() {
  for (;;) {
    ssize_t n = recv(fd_, read_buffer_.get(), read_size_, 0);
    if (n == 0) {
      Close(8);
      return;
    }
    if (n < 0) {
      int err = LastError();
      if (IsInterrupted(err))
        continue;
      if (!IsAgain(err))
        Close(1000 + err);
      return;
    }
    size_t got = static_cast<size_t>(n);
    if (on_data && on_data(read_buffer_.get(), got) < 0)
      return;
    // The owner may have closed the stream inside on_data.
    if (got < read_size_ || state_ != kOpen)
      return;
  }
}

void TcpStream::OnWrite() {
  while (!send_queue_.empty()) {
    Chunk& chunk = send_queue_.front();
    ssize_t n =
        send(fd_, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent, SendFlags());
    if (n == 0) {
      Close(8);
      return;
    }
    if (n < 0) {
      int err = LastError();
      if (IsInterrupted(err))
        continue;
      if (!IsAgain(err))
        Close(1000 + err);
      return;
    }
    chunk.sent += static_cast<size_t>(n);
    if (chunk.sent < chunk.bytes.size())
      return;
    send_queue_.pop_front();
    if (send_queue_.empty()) {
      write_watcher_.Disable();
      if (on_sent)
        on_sent();
      return;
    }
  }
}

int TcpStream::Send(std::string&& data) {
  if (state_ != kOpen || data.empty())
    return 15;
  send_queue_.push_back(Chunk{std::move(data), 0});
  return write_watcher_.Enable() != 0 ? 12 : 0;
}

int TcpStream::Send(const char* data, size_t len) {
  if (state_ != kOpen || len == 0)
    return 15;
  if (!send_queue_.empty()) {
    std::string& last = send_queue_.back().bytes;
    if (last.capacity() - last.size() > len) {
      last.append(data, len);
      return 0;
    }
  }
  Chunk chunk;
  if (len < chunk_size_) {
    chunk.bytes.reserve(chunk_size_);
    chunk.bytes.append(data, len);
  } else {
    chunk.bytes.assign(data, len);
  }
  send_queue_.push_back(std::move(chunk));
  return write_watcher_.Enable() != 0 ? 12 : 0;
}

void TcpStream::Close(int code) {
  if (state_ == kClosed)
    return;
  state_ = kClosed;
  connect_watcher_.Disable();
  write_watcher_.Disable();
  read_watcher_.Disable();
  if (fd_ >= 0) {
    evutil_closesocket(fd_);
    fd_ = -1;
  }
  read_buffer_.reset();
  if (code == 0 || !on_error)
    return;
  // Reported once; the owner may destroy the stream inside the callback.
  std::function<void(int)> report = std::move(on_error);
  on_error = nullptr;
  report(code);
}

bool TcpStream::FetchLocal() {
  SockAddr local;
  socklen_t len = ipv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  if (getsockname(fd_, local.get(), &len) != 0)
    return false;
  local_ip_ = SockAddrToText(local.get());
  local_port = SockAddrPort(local.get());
  return true;
}

bool TcpStream::FetchRemote() {
  SockAddr remote;
  socklen_t len = 128;
  static_assert(sizeof(remote.storage) == 128, "peer address buffer");
  if (getpeername(fd_, remote.get(), &len) != 0)
    return false;
  remote_ip_ = SockAddrToText(remote.get());
  remote_port_ = SockAddrPort(remote.get());
  return true;
}

const std::string& TcpStream::LocalIp() {
  if (local_ip_.empty())
    FetchLocal();
  return local_ip_;
}

uint16_t TcpStream::LocalPort() {
  if (local_port == 0)
    FetchLocal();
  return local_port;
}

const std::string& TcpStream::RemoteIp() {
  if (remote_ip_.empty())
    FetchRemote();
  return remote_ip_;
}

uint16_t TcpStream::RemotePort() {
  if (remote_port_ == 0)
    FetchRemote();
  return remote_port_;
}

void TcpStream::UpdateRtt() {
  // The kernel's tcp_info has grown past the C library's declaration; leave it the room.
  union {
    tcp_info info;
    char raw[232];
  } buffer;
  static_assert(sizeof(buffer) == 232, "tcp_info buffer");
  std::memset(&buffer, 0, sizeof(buffer));
  socklen_t len = sizeof(buffer);
  if (getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &buffer, &len) != 0) {
    rtt_ms_ = 0;
    rtt_var_ms_ = 0;
    return;
  }
  rtt_ms_ = buffer.info.tcpi_rtt / 1000;
  rtt_var_ms_ = buffer.info.tcpi_rttvar / 1000;
}

size_t TcpStream::PendingBytes() const {
  size_t total = 0;
  for (const Chunk& chunk : send_queue_)
    total += chunk.bytes.size() - chunk.sent;
  return total;
}

int TcpStream::GetSendBufferSize() {
  if (fd_ < 0)
    return -1;
  int bytes = 0;
  if (tovali::GetSendBufferSize(fd_, &bytes) != 0)
    return -1;
  return bytes;
}

int TcpStream::SetSendBufferSize(int bytes) {
  if (fd_ == -1)
    return -1;
  return tovali::SetSendBufferSize(fd_, bytes);
}

}  // namespace tovali
