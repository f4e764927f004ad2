// The floor for palvexd's benchmark (not a service): the least a detection service can do on
// one thread with epoll, with nothing of palvexd's. It accepts, reads the request frame, writes
// the reply (the peer's address and four zero codes), and for a full detection connects back
// to the peer's address and port and sends one frame; then it waits for the peer to close.
// No limits, no records, no location table, no timeouts: what palvexd costs above this is
// what its own work costs.
//
//   floor_server IP PORT
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum Kind : uint8_t { kClient, kDialback };

// One descriptor's state; the epoll data points at it.
struct Conn {
  Conn(int fd, Kind kind) : fd(fd), kind(kind) {}
  int fd;
  Kind kind;
  bool connected = false;  // a client: answered; a dial-back: its frame is sent
  uint8_t have = 0;        // request header bytes read
  unsigned char header[6] = {};
  uint32_t left = 0;  // payload bytes still to read
};

int epfd = -1;

void Watch(Conn* c, uint32_t events, int op) {
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = c;
  epoll_ctl(epfd, op, c->fd, &ev);
}

void Drop(Conn* c) {
  close(c->fd);  // also leaves the epoll set
  delete c;
}

void DialBack(const sockaddr_in& peer, const sockaddr_in& local) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof(one));
  sockaddr_in from = local;
  from.sin_port = 0;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof(from)) != 0 ||
      (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0 &&
       errno != EINPROGRESS)) {
    close(fd);
    return;
  }
  Watch(new Conn(fd, kDialback), EPOLLOUT | EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
}

void OnClient(Conn* c, uint32_t events) {
  char buf[1024];
  ssize_t n = recv(c->fd, buf, sizeof(buf), 0);
  if (n <= 0) {
    if (n == 0 || (errno != EAGAIN && errno != EINTR) || (events & (EPOLLHUP | EPOLLERR)))
      Drop(c);
    return;
  }
  size_t pos = 0;
  const size_t got = static_cast<size_t>(n);
  while (c->have < 6 && pos < got) {
    c->header[c->have++] = static_cast<unsigned char>(buf[pos++]);
    if (c->have == 6)
      c->left = (uint32_t{c->header[2]} << 24) | (uint32_t{c->header[3]} << 16) |
                (uint32_t{c->header[4]} << 8) | c->header[5];
  }
  if (c->have < 6)
    return;
  const size_t payload = got - pos < c->left ? got - pos : c->left;
  c->left -= static_cast<uint32_t>(payload);
  if (c->left != 0 || c->connected)
    return;
  c->connected = true;  // answered
  sockaddr_in peer{};
  sockaddr_in local{};
  socklen_t len = sizeof(peer);
  getpeername(c->fd, reinterpret_cast<sockaddr*>(&peer), &len);
  len = sizeof(local);
  getsockname(c->fd, reinterpret_cast<sockaddr*>(&local), &len);
  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip));
  std::string reply = std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port)) + "|0|0|0|0";
  send(c->fd, reply.data(), reply.size(), MSG_NOSIGNAL);
  if (c->header[1] == 1)
    DialBack(peer, local);
}

void OnDialback(Conn* c, uint32_t events) {
  if (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) {
    Drop(c);
    return;
  }
  if (!c->connected && (events & EPOLLOUT)) {
    c->connected = true;
    static const char kFrame[] = {0, 1, 0, 0, 0, 5, 'f', 'l', 'o', 'o', 'r'};
    send(c->fd, kFrame, sizeof(kFrame), MSG_NOSIGNAL);
    Watch(c, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
    return;
  }
  char buf[256];
  if (recv(c->fd, buf, sizeof(buf), 0) == 0)
    Drop(c);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: floor_server IP PORT\n", stderr);
    return 2;
  }
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1 ||
      bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(lfd, 4096) != 0) {
    std::perror("floor_server");
    return 1;
  }
  epfd = epoll_create1(EPOLL_CLOEXEC);
  Conn listener(lfd, kClient);
  Watch(&listener, EPOLLIN, EPOLL_CTL_ADD);
  epoll_event events[256];
  for (;;) {
    int n = epoll_wait(epfd, events, 256, -1);
    for (int i = 0; i < n; ++i) {
      Conn* c = static_cast<Conn*>(events[i].data.ptr);
      if (c == &listener) {
        for (;;) {
          int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (fd < 0)
            break;
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
          Watch(new Conn(fd, kClient), EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
        }
      } else if (c->kind == kClient) {
        OnClient(c, events[i].events);
      } else {
        OnDialback(c, events[i].events);
      }
    }
  }
}
