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
namespace {

// The read buffer of every stream on this thread: one read is handed to on_data and done with
// before the loop delivers the next, so the streams of one loop can share it.
char* ScratchBuffer(size_t size) {
  thread_local std::unique_ptr<char[]> buffer;
  thread_local size_t capacity = 0;
  if (capacity < size) {
    buffer.reset(new char[size]);
    capacity = size;
  }
  return buffer.get();
}

}  // namespace

TcpStream::TcpStream(event_base* loop, bool ipv4) : loop_(loop), ipv4(ipv4) {}

TcpStream::~TcpStream() {
  if (destroyed_ != nullptr)
    *destroyed_ = true;
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
    return BadRemoteIp;
  remote_ip_ = ip;
  remote_port_ = port;

  // Non-blocking from the start: two fcntl calls fewer per connection.
  fd_ = socket(ipv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    saved_errno = LastError();
    return SocketFailed;
  }
  SetNoDelay(fd_, true);
  // One family per stream: an IPv4-mapped address is not an IPv6 peer.
  if (!ipv4)
    SetV6Only(fd_, true);
  if (!bind_nic.empty() && BindToDevice(fd_, bind_nic.c_str()) != 0 && fail_on_option_error) {
    saved_errno = LastError();
    return DeviceFailed;
  }
  if (keepalive && SetKeepAlive(fd_, true, 60000, 30000, 5) != 0 && fail_on_option_error) {
    saved_errno = LastError();
    return OptionFailed;
  }
  if (!bind_ip.empty() || local_port != 0) {
    int rc = BindLocal();
    if (rc != 0)
      return rc;
  }

  SockAddr remote;
  socklen_t remote_len = 0;
  ToSockAddr(ipv4, remote_ip_, remote_port_, &remote, &remote_len);
  if (connect(fd_, remote.get(), remote_len) != 0 && !IsInProgress(LastError())) {
    connect_errno = LastError();
    return ConnectFailed;
  }

  // The connect waits for writability too: one watcher serves the connect, then the writes.
  if (write_watcher_.Start(loop_, fd_, EV_WRITE | EV_PERSIST, [this] { OnWritable(); }) != 0)
    return ConnectWatcherInitFailed;
  if (write_watcher_.Enable() != 0)
    return ConnectWatcherStartFailed;
  return Ok;
}

// Binds bind_ip (or the wildcard address) with local_port. The reuse switches go on before the
// bind whenever a port is asked for, so that the port of a listener with the same switches can
// be shared. An address of the other family is refused: converting it for this family would
// bind whatever the failed conversion left behind.
int TcpStream::BindLocal() {
  if (!bind_ip.empty() && !(ipv4 ? IsIPv4(bind_ip) : IsIPv6(bind_ip)))
    return BadBindIp;
  if (local_port != 0) {
    if (reuse_port && SetReusePort(fd_, true) != 0 && fail_on_option_error) {
      saved_errno = LastError();
      return OptionFailed;
    }
    if (reuse_addr && SetReuseAddr(fd_, true) != 0 && fail_on_option_error) {
      saved_errno = LastError();
      return OptionFailed;
    }
  } else {
    SetBindAddressNoPort(fd_, true);  // best effort: without it the bind picks the port
  }
  SockAddr local;
  socklen_t local_len = 0;
  ToSockAddr(ipv4, bind_ip, local_port, &local, &local_len);
  if (bind(fd_, local.get(), local_len) != 0) {
    if (!bind_ip.empty())
      saved_errno = LastError();
    return BindFailed;
  }
  return Ok;
}

int TcpStream::Accept(int fd, const std::string& ip, uint16_t port) {
  fd_ = fd;
  remote_ip_ = ip;
  remote_port_ = port;
  int rc = Ok;
  if (read_watcher_.Start(loop_, fd_, EV_READ | EV_PERSIST, [this] { OnRead(); }) != 0) {
    rc = ReadWatcherInitFailed;
  } else if (read_watcher_.Enable() != 0) {
    rc = ReadWatcherStartFailed;
  }
  if (rc != 0) {
    evutil_closesocket(fd_);
    fd_ = -1;
    return rc;
  }
  state_ = kOpen;
  return Ok;
}

void TcpStream::OnWritable() {
  if (state_ == kNew)
    OnConnected();
  else
    OnWrite();
}

void TcpStream::OnConnected() {
  write_watcher_.Disable();
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
    err = LastError();
  if (err != 0) {
    connect_errno = err;
    Close(ConnectFailed);
    return;
  }
  if (!FetchLocal()) {
    connect_errno = LastError();
    Close(ConnectFailed);
    return;
  }
  if (read_watcher_.Start(loop_, fd_, EV_READ | EV_PERSIST, [this] { OnRead(); }) != 0) {
    Close(ReadWatcherInitFailed);
    return;
  }
  if (read_watcher_.Enable() != 0) {
    Close(ReadWatcherStartFailed);
    return;
  }
  state_ = kOpen;
  // One-shot: taken out first, so the owner may destroy the stream inside it.
  std::function<void()> opened = std::move(on_open);
  on_open = nullptr;
  if (opened)
    opened();
}

void TcpStream::OnRead() {
  bool destroyed = false;
  destroyed_ = &destroyed;
  char* const buffer = ScratchBuffer(read_size_);
  // What one readiness event may take: a peer that sends as fast as it can must not keep the
  // loop inside this connection. The watcher is level-triggered, so the rest comes next pass.
  size_t budget = kReadBudget;
  for (;;) {
    ssize_t n = recv(fd_, buffer, read_size_, 0);
    if (n == 0) {
      destroyed_ = nullptr;
      Close(PeerClosed);
      return;
    }
    if (n < 0) {
      int err = LastError();
      if (IsInterrupted(err))
        continue;
      destroyed_ = nullptr;
      if (!IsAgain(err))
        Close(IoErrorBase + err);
      return;
    }
    size_t got = static_cast<size_t>(n);
    const int delivered = on_data ? on_data(buffer, got) : 0;
    if (destroyed)
      return;  // the owner let go of us inside on_data
    // A negative result, a short read, or a close inside on_data ends this round.
    budget = got < budget ? budget - got : 0;
    if (delivered < 0 || got < read_size_ || state_ != kOpen || budget == 0) {
      destroyed_ = nullptr;
      return;
    }
  }
}

void TcpStream::OnWrite() {
  while (!send_queue_.empty()) {
    Chunk& chunk = send_queue_.front();
    ssize_t n =
        send(fd_, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent, SendFlags());
    if (n == 0) {
      Close(PeerClosed);
      return;
    }
    if (n < 0) {
      int err = LastError();
      if (IsInterrupted(err))
        continue;
      if (!IsAgain(err))
        Close(IoErrorBase + err);
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
    return NotOpen;
  size_t written = WriteThrough(data.data(), data.size());
  if (written == data.size())
    return Ok;
  send_queue_.push_back(Chunk{std::move(data), written});
  return ArmWriter();
}

int TcpStream::ArmWriter() {
  if (!write_watcher_.IsBound() &&
      write_watcher_.Start(loop_, fd_, EV_WRITE | EV_PERSIST, [this] { OnWritable(); }) != 0)
    return WriteWatcherStartFailed;
  return write_watcher_.Enable() != 0 ? WriteWatcherStartFailed : Ok;
}

size_t TcpStream::WriteThrough(const char* data, size_t len) {
  if (!write_through || !send_queue_.empty())
    return 0;
  for (;;) {
    ssize_t n = send(fd_, data, len, SendFlags());
    if (n > 0)
      return static_cast<size_t>(n);
    // Anything else (would block, or an error) is left to OnWrite, which reports errors.
    if (n < 0 && IsInterrupted(LastError()))
      continue;
    return 0;
  }
}

int TcpStream::Send(const char* data, size_t len) {
  if (state_ != kOpen || len == 0)
    return NotOpen;
  size_t written = WriteThrough(data, len);
  if (written == len)
    return Ok;
  data += written;
  len -= written;
  if (!send_queue_.empty()) {
    std::string& last = send_queue_.back().bytes;
    if (last.capacity() - last.size() > len) {
      last.append(data, len);
      return Ok;
    }
  }
  Chunk chunk;
  if (len < kChunkSize) {
    chunk.bytes.reserve(kChunkSize);
    chunk.bytes.append(data, len);
  } else {
    chunk.bytes.assign(data, len);
  }
  send_queue_.push_back(std::move(chunk));
  return ArmWriter();
}

void TcpStream::Close(int code) {
  if (state_ == kClosed)
    return;
  state_ = kClosed;
  write_watcher_.Disable();
  read_watcher_.Disable();
  if (fd_ >= 0) {
    if (reset_on_close)
      SetLingerReset(fd_);
    evutil_closesocket(fd_);
    fd_ = -1;
  }
  // The scratch buffer outlives the stream: a close inside on_data leaves the delivered bytes
  // where the callee reads them.
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
