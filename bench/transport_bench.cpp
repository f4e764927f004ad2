// Transport costs on loopback: bytes per second through a TcpStream pair next to a plain blocking
// socket pair (both with the receiver on a thread of its own), and the time to accept a queued
// burst of 1000 connections with TcpListener.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <event2/event.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tovali/Network/event_loop.h"
#include "tovali/Network/socket_util.h"
#include "tovali/Network/tcp_listener.h"
#include "tovali/Network/tcp_stream.h"

namespace {

constexpr size_t kBytesPerIteration = 16 << 20;
constexpr int kBurst = 1000;

sockaddr_in LoopbackAddr(uint16_t port) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  tovali::ToSockAddrV4("127.0.0.1", port, &addr);
  return addr;
}

int ConnectBlocking(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = LoopbackAddr(port);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (fd >= 0)
      close(fd);
    return -1;
  }
  return fd;
}

// A connected loopback pair of blocking sockets.
bool MakePair(int* a, int* b) {
  int listen_fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = LoopbackAddr(0);
  socklen_t len = sizeof(addr);
  if (listen_fd < 0 || bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      listen(listen_fd, 1) != 0 ||
      getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(listen_fd);
    return false;
  }
  *a = ConnectBlocking(ntohs(addr.sin_port));
  *b = *a >= 0 ? accept(listen_fd, nullptr, nullptr) : -1;
  close(listen_fd);
  return *a >= 0 && *b >= 0;
}

void MakeNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Receiver side of the stream pair: its own loop on its own thread, counting what arrives until
// the sender goes away.
class StreamReceiver {
 public:
  explicit StreamReceiver(int fd) {
    thread_ = std::thread([this, fd] {
      tovali::EventLoop loop;
      loop.Create(0);
      auto stream = std::make_unique<tovali::TcpStream>(loop.base(), true);
      stream->on_data = [this](const char*, size_t len) {
        received_.fetch_add(len, std::memory_order_release);
        return 0;
      };
      stream->on_error = [&stream](int) { stream.reset(); };
      if (stream->Accept(fd, "127.0.0.1", 0) == 0)
        loop.Run(0);  // returns once the stream is gone and nothing is left to wait for
      stream.reset();
      loop.Destroy();
    });
  }
  ~StreamReceiver() { thread_.join(); }

  void WaitFor(size_t total) const {
    while (received_.load(std::memory_order_acquire) < total)
      std::this_thread::yield();
  }

 private:
  std::atomic<size_t> received_{0};
  std::thread thread_;
};

void BM_TcpStreamPair(benchmark::State& state) {
  const size_t write_size = static_cast<size_t>(state.range(0));
  int a = -1, b = -1;
  if (!MakePair(&a, &b)) {
    state.SkipWithError("no loopback pair");
    return;
  }
  MakeNonBlocking(a);
  MakeNonBlocking(b);
  StreamReceiver receiver(b);
  tovali::EventLoop loop;
  loop.Create(0);
  auto sender = std::make_unique<tovali::TcpStream>(loop.base(), true);
  sender->Accept(a, "127.0.0.1", 0);
  bool drained = false;
  sender->on_sent = [&drained] { drained = true; };
  const std::string block(write_size, 'x');
  size_t total = 0;
  for (auto _ : state) {
    drained = false;
    for (size_t done = 0; done < kBytesPerIteration; done += write_size)
      sender->Send(block.data(), block.size());
    while (!drained)
      loop.Run(EVLOOP_ONCE);
    total += kBytesPerIteration;
    receiver.WaitFor(total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
  sender.reset();  // the receiver sees the close and ends its loop
  loop.Destroy();
}
BENCHMARK(BM_TcpStreamPair)->Arg(1024)->Arg(65536)->UseRealTime();

void BM_BlockingSocketPair(benchmark::State& state) {
  const size_t write_size = static_cast<size_t>(state.range(0));
  int a = -1, b = -1;
  if (!MakePair(&a, &b)) {
    state.SkipWithError("no loopback pair");
    return;
  }
  std::atomic<size_t> received{0};
  std::thread reader([b, &received] {
    std::vector<char> buffer(32768);
    for (;;) {
      ssize_t n = recv(b, buffer.data(), buffer.size(), 0);
      if (n <= 0)
        break;
      received.fetch_add(static_cast<size_t>(n), std::memory_order_release);
    }
    close(b);
  });
  const std::string block(write_size, 'x');
  size_t total = 0;
  for (auto _ : state) {
    for (size_t done = 0; done < kBytesPerIteration; done += write_size) {
      size_t off = 0;
      while (off < block.size()) {
        ssize_t n = send(a, block.data() + off, block.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
          break;
        off += static_cast<size_t>(n);
      }
    }
    total += kBytesPerIteration;
    while (received.load(std::memory_order_acquire) < total)
      std::this_thread::yield();
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
  close(a);
  reader.join();
}
BENCHMARK(BM_BlockingSocketPair)->Arg(1024)->Arg(65536)->UseRealTime();

// Accepting a burst already queued on the listening socket: one connection per readiness event,
// each made non-blocking, TCP_NODELAY, and (unless arg 1: bare descriptors) wrapped in a stream.
void BM_AcceptBurst(benchmark::State& state) {
  const bool bare = state.range(0) == 1;
  tovali::EventLoop loop;
  loop.Create(0);
  auto listener = std::make_unique<tovali::TcpListener>(loop.base(), true, "", true, "");
  listener->backlog = 2 * kBurst;
  std::vector<std::unique_ptr<tovali::TcpStream>> streams;
  std::vector<int> fds;
  listener->on_stream = [&streams](tovali::TcpStream* s) { streams.emplace_back(s); };
  if (bare)
    listener->on_fd = [&fds](int fd) { fds.push_back(fd); };
  if (listener->Start(0, "127.0.0.1") != tovali::TcpListener::Ok) {
    state.SkipWithError("listener did not start");
    return;
  }
  std::vector<int> clients;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < kBurst; ++i) {
      int fd = ConnectBlocking(listener->port);
      if (fd < 0) {
        state.SkipWithError("connect failed");
        break;
      }
      // Reset on close: no TIME_WAIT piles up over the iterations.
      linger hard{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
      clients.push_back(fd);
    }
    state.ResumeTiming();
    while (streams.size() + fds.size() < clients.size())
      loop.Run(EVLOOP_ONCE);
    state.PauseTiming();
    streams.clear();
    for (int fd : fds)
      close(fd);
    fds.clear();
    for (int fd : clients)
      close(fd);
    clients.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
  listener.reset();
  loop.Destroy();
}
BENCHMARK(BM_AcceptBurst)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
