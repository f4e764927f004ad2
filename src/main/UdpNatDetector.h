// The nat subcommand over UDP: RFC 5780's NAT behaviour discovery against any STUN server that
// implements it. Filtering first, from a local port of its own: a Binding request to S1:P1, then
// with CHANGE-REQUEST for another address and port (endpoint-independent test) and for another
// port (address-dependent test); a response not in by 60 % of the run's time counts as filtered.
// Only then, from the primary local port, Bindings to S1:P1, S2:P1 and S2:P2 give the mapped
// endpoints: a packet to S2 any earlier would open the very filter under test. Each request is
// retransmitted on RFC 5389's schedule within its phase. The destructor prints the result line.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "main/Configs.h"
#include "main/ServerProbe.h"
#include "tovali/Network/event_loop.h"
#include "wire/NatGrade.h"
#include "wire/Stun.h"

namespace palvex {

class UdpNatDetector : public ServerProbe {
 public:
  static constexpr uint32_t kWaitPercent = 60;
  static constexpr uint64_t kFirstRtoMs = 500;  // RFC 5389's initial retransmission timeout

  explicit UdpNatDetector(ReverseConfig config);
  ~UdpNatDetector() override;

 private:
  // The requests, in the order they may be sent: on the filtering socket the plain Binding and
  // the two CHANGE-REQUESTs; on the mapping socket the Bindings to S1:P1, S2:P1 and S2:P2.
  enum ProbeIndex : int { kTestI, kTestII, kTestIII, kMapS1, kMapS2P1, kMapS2P2, kProbes };
  struct Probe {
    std::array<uint8_t, 16> transaction{};
    int socket = 0;  // 0 filtering, 1 mapping
    palvex::stun::Address to;
    uint32_t flags = 0;
    bool sent = false;
    bool answered = false;
    bool refused = false;  // an error response: the server cannot run this test
    palvex::stun::Message response;
    uint64_t next_rto_ms = kFirstRtoMs;
    tovali::Timer timer;
  };

  void OnServerChosen() override;
  void OnAccept(tovali::TcpStream* stream) override;
  bool OpenSocket(int which);
  void Send(int index, const palvex::stun::Address& to, uint32_t flags);
  void Transmit(int index);
  void OnReadable(int which);
  void OnResponse(int index, const palvex::stun::Message& response);
  void EndFiltering();
  void EndIfAnswered();
  void Report();

  int fd_[2] = {-1, -1};
  uint16_t port_[2] = {0, 0};
  tovali::IoWatcher watcher_[2];
  std::string local_ip_;  // the mapping socket's own address towards the server
  Probe probes_[kProbes];
  palvex::stun::Address server_;
  palvex::stun::Address other_;  // OTHER-ADDRESS from the first response
  tovali::Timer wait_timer_;
  bool filtering_ = true;
};

}  // namespace palvex
