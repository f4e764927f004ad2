#include "server/StunService.h"

#include <event2/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "server/ServiceState.h"
#include "tovali/Network/socket_util.h"
#include "tovali/util/clock.h"
#include "wire/DetectProtocol.h"

namespace palvexd {
namespace {

// Datagrams one readiness event takes from a socket: a flood on one does not starve the others.
constexpr int kDatagramsPerEvent = 64;
// A Binding request is a few dozen bytes, but one with PADDING tests how datagrams larger than
// a link's frames get through: any size UDP carries is taken.
constexpr size_t kMaxDatagram = 65535;

}  // namespace

StunService::StunService(ServiceState& state, event_base* loop)
    : state_(state), loop_(loop), datagram_(kMaxDatagram) {}

StunService::~StunService() {
  for (auto& socket : sockets_) {
    socket->watcher.Disable();
    if (socket->fd >= 0)
      close(socket->fd);
  }
}

bool StunService::Start(std::string* error) {
  const ServerConfig& config = state_.config;
  for (const Endpoint& primary : config.stun) {
    const std::string& other_ip = primary.ipv4 ? config.other_v4 : config.other_v6;
    const std::string ips[2] = {primary.ip, other_ip};
    const uint16_t ports[2] = {primary.port, config.other_port};
    // The four sockets of this address, [ip index][port index]; missing ones stay -1.
    int at[2][2] = {{-1, -1}, {-1, -1}};
    for (int i = 0; i < 2; ++i) {
      for (int p = 0; p < 2; ++p) {
        if (ips[i].empty() || ports[p] == 0)
          continue;
        auto socket = std::make_unique<Socket>();
        socket->local = Endpoint{ips[i], primary.ipv4, ports[p]};
        socket->address = palvex::stun::FromText(ips[i], !primary.ipv4, ports[p]);
        const std::string where = palvex::FormatAddress(ips[i], !primary.ipv4, ports[p]);
        tovali::SockAddr addr;
        socklen_t len = 0;
        tovali::ToSockAddr(primary.ipv4, ips[i], ports[p], &addr, &len);
        socket->fd = ::socket(primary.ipv4 ? AF_INET : AF_INET6,
                              SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (socket->fd < 0 || (!primary.ipv4 && tovali::SetV6Only(socket->fd, true) != 0) ||
            bind(socket->fd, addr.get(), len) != 0) {
          *error = "--stun " + where + ": " + std::strerror(errno);
          if (socket->fd >= 0)
            close(socket->fd);
          return false;
        }
        at[i][p] = static_cast<int>(sockets_.size());
        sockets_.push_back(std::move(socket));
      }
    }
    palvex::stun::Address other;
    if (at[1][1] >= 0) {
      // Devices are told the advertised form of the other address.
      const std::string& advertised = AdvertisedOther(config, primary.ipv4);
      other = palvex::stun::FromText(advertised, !primary.ipv4, config.other_port);
    }
    for (int i = 0; i < 2; ++i) {
      for (int p = 0; p < 2; ++p) {
        if (at[i][p] < 0)
          continue;
        Socket& s = *sockets_[at[i][p]];
        s.change[0] = at[1 - i][p];
        s.change[1] = at[i][1 - p];
        s.change[2] = at[1 - i][1 - p];
        s.other = other;
      }
    }
  }
  for (size_t i = 0; i < sockets_.size(); ++i) {
    if (sockets_[i]->watcher.Start(loop_, sockets_[i]->fd, EV_READ | EV_PERSIST,
                                   [this, i] { OnReadable(i); }) != 0 ||
        sockets_[i]->watcher.Enable() != 0) {
      *error = "--stun: cannot watch a socket";
      return false;
    }
  }
  return true;
}

void StunService::OnReadable(size_t index) {
  for (int n = 0; n < kDatagramsPerEvent; ++n) {
    sockaddr_storage from{};
    socklen_t from_len = sizeof(from);
    const ssize_t got = recvfrom(sockets_[index]->fd, datagram_.data(), datagram_.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &from_len);
    if (got < 0)
      return;  // drained (or an error the next datagram does not share)
    Answer(index, datagram_.data(), static_cast<size_t>(got),
           reinterpret_cast<const sockaddr*>(&from), from_len);
  }
}

void StunService::Answer(size_t index, const uint8_t* data, size_t size, const sockaddr* from,
                         socklen_t from_len) {
  Socket& socket = *sockets_[index];
  const bool ipv6 = !socket.local.ipv4;
  ServiceMetrics& metrics = state_.metrics;
  palvex::stun::Message request;
  if (palvex::stun::Parse(data, size, &request) != palvex::stun::kParsed ||
      request.type != palvex::stun::kBindingRequest) {
    metrics.CountStun(ipv6, ServiceMetrics::kStunDropped);
    return;
  }
  const std::string source_ip = tovali::SockAddrToText(from);
  const int64_t now = tovali::MonotonicMs();
  if (state_.limiter.Admit(source_ip, now) != SourceLimiter::kAdmitted) {
    metrics.CountStun(ipv6, ServiceMetrics::kStunDropped);
    return;
  }
  state_.limiter.Release(source_ip, now);
  metrics.CountStun(ipv6, ServiceMetrics::kStunRequest);

  const palvex::stun::Address source = palvex::stun::FromSockAddr(from);
  std::string response;
  const Socket* sender = &socket;
  bool error = true;
  if (!request.unknown_required.empty()) {
    response = palvex::stun::BuildError(request, 420, request.unknown_required);
  } else {
    if (request.has_change_request) {
      metrics.CountStun(ipv6, ServiceMetrics::kStunChangeRequest);
      const bool ip = request.change_flags & palvex::stun::kChangeIp;
      const bool port = request.change_flags & palvex::stun::kChangePort;
      if (ip || port) {
        const int target = socket.change[ip && port ? 2 : ip ? 0 : 1];
        sender = target >= 0 ? sockets_[target].get() : nullptr;
      }
    }
    if (sender == nullptr) {
      // No other address or port to answer from.
      response = palvex::stun::BuildError(request, 420, {0x0003});
      sender = &socket;
    } else {
      response = palvex::stun::BuildSuccess(request, source, sender->address, socket.other);
      error = false;
    }
  }
  if (error)
    metrics.CountStun(ipv6, ServiceMetrics::kStunError);
  sendto(sender->fd, response.data(), response.size(), 0, from, from_len);
}

}  // namespace palvexd
