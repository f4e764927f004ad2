#include "main/UdpNatDetector.h"

#include <event2/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "main/DetectMessage.h"
#include "tovali/Network/random.h"
#include "tovali/Network/socket_util.h"
#include "tovali/log/log_handle.h"
#include "tovali/log/logger.h"
#include "tovali/util/clock.h"
#include "wire/DetectProtocol.h"

namespace palvex {
namespace {

constexpr size_t kMaxDatagram = 1500;

// The other address with another port (S2:P1): OTHER-ADDRESS with the primary port.
stun::Address WithPort(stun::Address a, uint16_t port) {
  a.port = port;
  return a;
}

}  // namespace

UdpNatDetector::UdpNatDetector(ReverseConfig config) : ServerProbe(std::move(config), "[UNAT]") {
  listen_tcp_ = false;
  for (int i = 0; i < kProbes; ++i) {
    probes_[i].socket = i < kMapS1 ? 0 : 1;
    probes_[i].timer.Init(loop_.base(), [this, i] { Transmit(i); });
  }
  wait_timer_.Init(loop_.base(), [this] {
    HLOG_INFO(log_, "filtering wait over");
    EndFiltering();
  });
  wait_timer_.Start(static_cast<uint64_t>(config_.timeout) * kWaitPercent / 100, 0);
}

UdpNatDetector::~UdpNatDetector() {
  deferred_.Clear();
  for (int i = 0; i < 2; ++i) {
    watcher_[i].Disable();
    if (fd_[i] >= 0)
      close(fd_[i]);
  }
  StopProbe();
  Report();
}

void UdpNatDetector::OnAccept(tovali::TcpStream*) {}

bool UdpNatDetector::OpenSocket(int which) {
  const bool ipv6 = config_.ipv6;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const uint16_t port = RandomPort(config_.bind_min_port, config_.bind_max_port);
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
      return false;
    if (ipv6)
      tovali::SetV6Only(fd, true);
    if (!config_.nic.empty())
      tovali::BindToDevice(fd, config_.nic.c_str());
    tovali::SockAddr addr;
    socklen_t len = 0;
    const std::string ip = config_.ip.empty() ? (ipv6 ? "::" : "0.0.0.0") : config_.ip;
    if (!tovali::ToSockAddr(!ipv6, ip, port, &addr, &len) || bind(fd, addr.get(), len) != 0) {
      close(fd);
      continue;
    }
    sockaddr_storage bound{};
    socklen_t bound_len = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len);
    fd_[which] = fd;
    port_[which] = tovali::SockAddrPort(reinterpret_cast<sockaddr*>(&bound));
    watcher_[which].Start(loop_.base(), fd, EV_READ | EV_PERSIST,
                          [this, which] { OnReadable(which); });
    watcher_[which].Enable();
    HLOG_INFO(log_, "%s socket on port %u", which == 0 ? "filtering" : "mapping", port_[which]);
    return true;
  }
  return false;
}

void UdpNatDetector::OnServerChosen() {
  server_ = stun::FromText(server_ip_, config_.ipv6, config_.port);
  if (!server_.present || !OpenSocket(0) || !OpenSocket(1)) {
    HLOG_ERROR(log_, "no server address or no socket: %s", server_ip_.c_str());
    ExitLoop();
    return;
  }
  listen_port_ = port_[1];
  // The mapping socket's own address is the one the kernel picks towards the server.
  local_ip_ = config_.ip;
  int probe = socket(config_.ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_storage addr{};
  const socklen_t len = stun::ToSockAddr(server_, &addr);
  if (local_ip_.empty() && probe >= 0 &&
      connect(probe, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
    sockaddr_storage own{};
    socklen_t own_len = sizeof(own);
    getsockname(probe, reinterpret_cast<sockaddr*>(&own), &own_len);
    local_ip_ = tovali::SockAddrToText(reinterpret_cast<sockaddr*>(&own));
  }
  if (probe >= 0)
    close(probe);
  Send(kTestI, server_, 0);
}

void UdpNatDetector::Send(int index, const stun::Address& to, uint32_t flags) {
  Probe& p = probes_[index];
  p.to = to;
  p.flags = flags;
  p.sent = true;
  // The magic cookie, then 96 random bits: the id a response repeats.
  p.transaction = {0x21, 0x12, 0xA4, 0x42};
  for (size_t i = 4; i < p.transaction.size(); ++i)
    p.transaction[i] = static_cast<uint8_t>(tovali::RandomEngine()());
  Transmit(index);
}

void UdpNatDetector::Transmit(int index) {
  Probe& p = probes_[index];
  if (p.answered || p.refused)
    return;
  // A filtering test is not sent again once its wait is over.
  if (p.socket == 0 && !filtering_)
    return;
  const std::string request = stun::BuildRequest(p.transaction, p.flags, true);
  sockaddr_storage addr{};
  const socklen_t len = stun::ToSockAddr(p.to, &addr);
  if (len != 0)
    sendto(fd_[p.socket], request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&addr),
           len);
  p.timer.Start(p.next_rto_ms);
  p.next_rto_ms *= 2;
}

void UdpNatDetector::OnReadable(int which) {
  uint8_t buffer[kMaxDatagram];
  for (int n = 0; n < 16; ++n) {
    const ssize_t got = recv(fd_[which], buffer, sizeof(buffer), 0);
    if (got < 0)
      return;
    stun::Message m;
    if (stun::Parse(buffer, static_cast<size_t>(got), &m) != stun::kParsed ||
        (m.type != stun::kBindingSuccess && m.type != stun::kBindingError))
      continue;
    for (int i = 0; i < kProbes; ++i) {
      Probe& p = probes_[i];
      if (p.socket == which && p.sent && !p.answered && !p.refused &&
          p.transaction == m.transaction)
        OnResponse(i, m);
    }
  }
}

void UdpNatDetector::OnResponse(int index, const stun::Message& response) {
  Probe& p = probes_[index];
  p.timer.Stop();
  if (response.type == stun::kBindingError || !response.mapped.present) {
    HLOG_INFO(log_, "probe %d refused: error %d", index, response.error_code);
    p.refused = true;
  } else {
    p.answered = true;
    p.response = response;
    HLOG_INFO(log_, "probe %d answered: mapped %s, origin %s", index,
              stun::ToText(response.mapped).c_str(),
              stun::ToText(response.response_origin).c_str());
  }
  if (index == kTestI) {
    if (p.answered && response.other_address.present) {
      other_ = response.other_address;
      Send(kTestII, server_, stun::kChangeIp | stun::kChangePort);
      Send(kTestIII, server_, stun::kChangePort);
      return;
    }
    EndFiltering();  // nothing more to test
    return;
  }
  if (index == kTestII || index == kTestIII) {
    const Probe& ii = probes_[kTestII];
    const Probe& iii = probes_[kTestIII];
    if ((ii.answered || ii.refused) && (iii.answered || iii.refused))
      EndFiltering();
    return;
  }
  EndIfAnswered();
}

void UdpNatDetector::EndFiltering() {
  if (!filtering_)
    return;
  filtering_ = false;
  wait_timer_.Stop();
  Send(kMapS1, server_, 0);
  if (other_.present) {
    Send(kMapS2P1, WithPort(other_, server_.port), 0);
    Send(kMapS2P2, other_, 0);
  }
}

void UdpNatDetector::EndIfAnswered() {
  for (int i = kMapS1; i < kProbes; ++i) {
    const Probe& p = probes_[i];
    if (p.sent && !p.answered && !p.refused)
      return;
  }
  ExitLoop();
}

void UdpNatDetector::Report() {
  NatObservation seen;
  const std::string local =
      local_ip_.empty() ? std::string() : FormatAddress(local_ip_, config_.ipv6, port_[1]);
  for (int i = 0; i < 3; ++i) {
    const Probe& p = probes_[kMapS1 + i];
    if (p.answered)
      seen.mapped[i] = stun::ToText(p.response.mapped);
    seen.local[i] = local;
  }
  seen.other_address = other_.present;
  seen.listen_port = port_[1];
  auto state = [](const Probe& p) {
    if (!p.sent || p.refused)
      return DialbackTest::kNotStarted;
    return p.answered ? DialbackTest::kArrived : DialbackTest::kNotArrived;
  };
  seen.from_other_address = state(probes_[kTestII]);
  seen.from_other_port = state(probes_[kTestIII]);
  NatReport report;
  report.nic = config_.nic;
  report.ipv6 = config_.ipv6;
  report.udp = true;
  report.ip = config_.ip;
  report.listen_port = port_[1];
  report.server = server_.present ? stun::ToText(server_)
                                  : FormatAddress(server_ip_, config_.ipv6, config_.port);
  report.other = stun::ToText(other_);
  for (int i = 0; i < 3; ++i)
    report.mapped[i] = seen.mapped[i];
  report.verdict = ClassifyNat(seen);
  report.timestamp = tovali::RealTimeSeconds();
  // STUN carries no location: the ISP file is left alone (code 0).
  Publish(BuildNatRecord(report), 0, "udp nat");
}

}  // namespace palvex
