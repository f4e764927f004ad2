#include "transport_test_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tovali/Network/socket_util.h"

namespace transport_test {
namespace {

socklen_t Fill(bool ipv4, const std::string& ip, uint16_t port, sockaddr_storage* out) {
  std::memset(out, 0, sizeof(*out));
  if (ipv4) {
    EXPECT_TRUE(tovali::ToSockAddrV4(ip, port, reinterpret_cast<sockaddr_in*>(out))) << ip;
    return sizeof(sockaddr_in);
  }
  EXPECT_TRUE(tovali::ToSockAddrV6(ip, port, reinterpret_cast<sockaddr_in6*>(out))) << ip;
  return sizeof(sockaddr_in6);
}

// Bounds every blocking call of a peer socket, so a broken stream fails a test instead of
// hanging it.
void SetTimeouts(int fd) {
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

}  // namespace

void LoopTest::TearDown() {
  for (int fd : fds_)
    close(fd);
  fds_.clear();
  LoopFixture::TearDown();
  loop_.Destroy();
}

bool LoopTest::RunUntil(const std::function<bool()>& done, uint64_t guard_ms) {
  bool expired = false;
  tovali::Timer guard;
  guard.Init(loop_.base(), [&expired] { expired = true; });
  guard.Start(guard_ms);
  while (!done() && !expired)
    event_base_loop(loop_.base(), EVLOOP_ONCE);
  return done();
}

void LoopTest::RunOnce(uint64_t guard_ms) {
  tovali::Timer guard;
  guard.Init(loop_.base(), [] { ADD_FAILURE() << "nothing happened"; });
  guard.Start(guard_ms);
  event_base_loop(loop_.base(), EVLOOP_ONCE);
}

std::string Loopback(bool ipv4) {
  return ipv4 ? "127.0.0.1" : "::1";
}

int ListenOn(bool ipv4, uint16_t* port, const std::string& ip, bool reuse) {
  int fd = socket(ipv4 ? AF_INET : AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) {
    ADD_FAILURE() << "socket: " << std::strerror(errno);
    return -1;
  }
  if (reuse) {
    tovali::SetReuseAddr(fd, true);
    tovali::SetReusePort(fd, true);
  }
  sockaddr_storage addr;
  socklen_t len = Fill(ipv4, ip.empty() ? Loopback(ipv4) : ip, *port, &addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 128) != 0) {
    close(fd);
    return -1;
  }
  *port = LocalPortOf(fd);
  return fd;
}

int BoundNotListening(bool ipv4, uint16_t* port) {
  int fd = socket(ipv4 ? AF_INET : AF_INET6, SOCK_STREAM, 0);
  sockaddr_storage addr;
  socklen_t len = Fill(ipv4, Loopback(ipv4), 0, &addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    ADD_FAILURE() << "bind: " << std::strerror(errno);
    return -1;
  }
  *port = LocalPortOf(fd);
  return fd;
}

int ConnectTo(bool ipv4, uint16_t port, const std::string& ip) {
  int fd = socket(ipv4 ? AF_INET : AF_INET6, SOCK_STREAM, 0);
  sockaddr_storage addr;
  socklen_t len = Fill(ipv4, ip.empty() ? Loopback(ipv4) : ip, port, &addr);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    ADD_FAILURE() << "connect: " << std::strerror(errno);
    if (fd >= 0)
      close(fd);
    return -1;
  }
  SetTimeouts(fd);
  return fd;
}

int AcceptFrom(int listen_fd) {
  pollfd p{listen_fd, POLLIN, 0};
  if (poll(&p, 1, 10000) != 1) {
    ADD_FAILURE() << "no connection to accept";
    return -1;
  }
  int fd = accept(listen_fd, nullptr, nullptr);
  if (fd < 0) {
    ADD_FAILURE() << "accept: " << std::strerror(errno);
    return -1;
  }
  SetTimeouts(fd);
  return fd;
}

bool ConnectedPair(bool ipv4, int* ours, int* peer) {
  uint16_t port = 0;
  int listen_fd = ListenOn(ipv4, &port);
  if (listen_fd < 0)
    return false;
  *peer = ConnectTo(ipv4, port);
  *ours = *peer >= 0 ? AcceptFrom(listen_fd) : -1;
  close(listen_fd);
  if (*ours < 0)
    return false;
  int flags = fcntl(*ours, F_GETFL);
  fcntl(*ours, F_SETFL, flags | O_NONBLOCK);
  return true;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadExactly(int fd, size_t n) {
  std::string out(n, '\0');
  size_t done = 0;
  while (done < n) {
    ssize_t got = recv(fd, &out[done], n - done, 0);
    if (got <= 0)
      break;
    done += static_cast<size_t>(got);
  }
  out.resize(done);
  return out;
}

bool WaitReadable(int fd, size_t n) {
  for (int i = 0; i < 10000; ++i) {
    int available = 0;
    if (ioctl(fd, FIONREAD, &available) == 0 && static_cast<size_t>(available) >= n)
      return true;
    usleep(1000);
  }
  return false;
}

bool ReadsEof(int fd) {
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n == 0)
      return true;
    if (n < 0)
      return errno == ECONNRESET;
  }
}

uint16_t LocalPortOf(int fd) {
  sockaddr_storage addr;
  socklen_t len = sizeof(addr);
  std::memset(&addr, 0, sizeof(addr));
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return 0;
  return tovali::SockAddrPort(reinterpret_cast<sockaddr*>(&addr));
}

uint16_t RemotePortOf(int fd) {
  sockaddr_storage addr;
  socklen_t len = sizeof(addr);
  std::memset(&addr, 0, sizeof(addr));
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return 0;
  return tovali::SockAddrPort(reinterpret_cast<sockaddr*>(&addr));
}

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr)
    return -1;
  while (readdir(dir) != nullptr)
    ++count;
  closedir(dir);
  return count;
}

}  // namespace transport_test
