// Load for a STUN server: Binding requests from SOCKETS local ports, WINDOW in flight on each,
// for SECONDS; prints the responses received and the rate. A request whose answer does not
// come within 200 ms is sent again in its slot (a lost datagram must not stall the window).
// Usage: stun_load ADDR PORT [SECONDS [SOCKETS [WINDOW]]]   (IPv4)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tovali/util/clock.h"
#include "wire/Stun.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: stun_load ADDR PORT [SECONDS [SOCKETS [WINDOW]]]\n");
    return 2;
  }
  const double seconds = argc > 3 ? std::atof(argv[3]) : 5;
  const int sockets = argc > 4 ? std::atoi(argv[4]) : 8;
  const int window = argc > 5 ? std::atoi(argv[5]) : 16;
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  inet_pton(AF_INET, argv[1], &server.sin_addr);

  std::vector<pollfd> fds;
  std::array<uint8_t, 16> id = {0x21, 0x12, 0xA4, 0x42};
  uint64_t counter = 0;
  auto request = [&]() {
    ++counter;
    for (int i = 0; i < 8; ++i)
      id[4 + i] = static_cast<uint8_t>(counter >> (8 * i));
    return palvex::stun::BuildRequest(id, 0, false);
  };
  for (int s = 0; s < sockets; ++s) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof(server));
    fds.push_back(pollfd{fd, POLLIN, 0});
    for (int w = 0; w < window; ++w) {
      std::string r = request();
      send(fd, r.data(), r.size(), 0);
    }
  }
  const int64_t start = tovali::MonotonicUs();
  const int64_t end = start + static_cast<int64_t>(seconds * 1e6);
  uint64_t answered = 0;
  uint8_t buffer[1500];
  while (tovali::MonotonicUs() < end) {
    if (poll(fds.data(), fds.size(), 200) == 0) {
      for (pollfd& p : fds) {  // lost ones: refill every window
        for (int w = 0; w < window; ++w) {
          std::string r = request();
          send(p.fd, r.data(), r.size(), 0);
        }
      }
      continue;
    }
    for (pollfd& p : fds) {
      if (!(p.revents & POLLIN))
        continue;
      for (;;) {
        const ssize_t n = recv(p.fd, buffer, sizeof(buffer), 0);
        if (n <= 0)
          break;
        ++answered;
        std::string r = request();
        send(p.fd, r.data(), r.size(), 0);
      }
    }
  }
  const double elapsed = static_cast<double>(tovali::MonotonicUs() - start) / 1e6;
  std::printf("answered %llu in %.2f s: %.0f/s\n", static_cast<unsigned long long>(answered),
              elapsed, static_cast<double>(answered) / elapsed);
  for (pollfd& p : fds)
    close(p.fd);
  return 0;
}
