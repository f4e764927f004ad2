// palvexd's STUN service: Binding requests over UDP (RFC 5389, the NAT behaviour discovery of RFC
// 5780, and RFC 3489's classic requests), on each --stun address and, with the grading's other
// address and port, on every pair {address, other address} x {port, other port}, so that a
// CHANGE-REQUEST is answered from the other address and/or port. A response goes only to the
// request's source; nothing is sent for anything but a well-formed Binding request, and the
// per-source rate limit is the TCP side's. Runs on the control loop; no record per packet.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/ServerConfig.h"
#include "tovali/Network/event_loop.h"
#include "wire/Stun.h"

struct event_base;

namespace palvexd {

class ServiceState;

class StunService {
 public:
  StunService(ServiceState& state, event_base* loop);
  ~StunService();
  StunService(const StunService&) = delete;
  StunService& operator=(const StunService&) = delete;

  // Binds every socket; false with a reason in *error.
  bool Start(std::string* error);

 private:
  struct Socket {
    int fd = -1;
    Endpoint local;
    palvex::stun::Address address;  // local, as RESPONSE-ORIGIN gives it
    // Indexes into sockets_ of the sockets a CHANGE-REQUEST answers from: [ip, port, both];
    // -1 where there is none.
    int change[3] = {-1, -1, -1};
    palvex::stun::Address other;  // OTHER-ADDRESS: the other address and port, when both exist
    tovali::IoWatcher watcher;
  };

  void OnReadable(size_t index);
  // One datagram from `from` on sockets_[index].
  void Answer(size_t index, const uint8_t* data, size_t size, const sockaddr* from,
              socklen_t from_len);

  ServiceState& state_;
  event_base* loop_;
  std::vector<std::unique_ptr<Socket>> sockets_;
  std::vector<uint8_t> datagram_;  // one received datagram, of any size UDP carries
};

}  // namespace palvexd
