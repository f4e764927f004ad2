#include "tovali/Network/socket_util.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace tovali {
namespace {

bool ParseV4(const std::string& text, uint32_t* host_order) {
  in_addr addr;
  if (inet_pton(AF_INET, text.c_str(), &addr) != 1)
    return false;
  *host_order = ntohl(addr.s_addr);
  return true;
}

bool ParseV6(const std::string& text, in6_addr* out) {
  return inet_pton(AF_INET6, text.c_str(), out) == 1;
}

bool InV4(uint32_t addr, uint32_t net, int prefix) {
  uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
  return (addr & mask) == (net & mask);
}

constexpr uint32_t V4(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

struct V6Net {
  uint8_t bytes[16];
  int prefix;
};

bool InV6(const in6_addr& addr, const V6Net& net) {
  int full = net.prefix / 8;
  if (std::memcmp(addr.s6_addr, net.bytes, static_cast<size_t>(full)) != 0)
    return false;
  int rest = net.prefix % 8;
  if (rest == 0)
    return true;
  uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
  return (addr.s6_addr[full] & mask) == (net.bytes[full] & mask);
}

bool IsPrivateV4(uint32_t a) {
  return InV4(a, V4(10, 0, 0, 0), 8) || InV4(a, V4(172, 16, 0, 0), 12) ||
         InV4(a, V4(192, 168, 0, 0), 16);
}

const V6Net kUniqueLocal = {{0xfc}, 7};

const V6Net kReservedV6[] = {
    {{0}, 128},                                               // ::
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128},  // ::1
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}, 96},         // ::ffff:0:0/96
    {{0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}, 96},               // ::ffff:0:0:0/96
    {{0, 0x64, 0xff, 0x9b}, 96},                              // 64:ff9b::/96
    {{0x01, 0x00}, 64},                                       // 100::/64
    {{0x20, 0x01, 0x00, 0x00}, 32},                           // 2001::/32
    {{0x20, 0x01, 0x00, 0x20}, 28},                           // 2001:20::/28
    {{0x20, 0x01, 0x0d, 0xb8}, 32},                           // 2001:db8::/32
    {{0x20, 0x02}, 16},                                       // 2002::/16
    kUniqueLocal,                                             // fc00::/7
    {{0xfe, 0x80}, 10},                                       // fe80::/10
    {{0xff}, 8},                                              // ff00::/8
};

int SetIntOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof(value));
}

addrinfo* Lookup(const std::string& host, int family) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_flags = 0;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = 0;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0)
    return nullptr;
  return result;
}

void AppendUnique(std::vector<std::string>* list, std::string text) {
  if (std::find(list->begin(), list->end(), text) == list->end())
    list->push_back(std::move(text));
}

}  // namespace

bool IsIPv4(const std::string& text) {
  in_addr addr;
  return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

bool IsIPv6(const std::string& text) {
  in6_addr addr;
  return inet_pton(AF_INET6, text.c_str(), &addr) == 1;
}

bool ToSockAddrV4(const std::string& text, uint16_t port, sockaddr_in* out) {
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  return inet_pton(AF_INET, text.empty() ? "0.0.0.0" : text.c_str(), &out->sin_addr) == 1;
}

bool ToSockAddrV6(const std::string& text, uint16_t port, sockaddr_in6* out) {
  out->sin6_family = AF_INET6;
  out->sin6_port = htons(port);
  return inet_pton(AF_INET6, text.empty() ? "::" : text.c_str(), &out->sin6_addr) == 1;
}

SockAddr::SockAddr() {
  std::memset(&storage, 0, sizeof(storage));
}

bool ToSockAddr(bool ipv4, const std::string& text, uint16_t port, SockAddr* out, socklen_t* len) {
  if (ipv4) {
    *len = sizeof(sockaddr_in);
    return ToSockAddrV4(text, port, reinterpret_cast<sockaddr_in*>(&out->storage));
  }
  *len = sizeof(sockaddr_in6);
  return ToSockAddrV6(text, port, reinterpret_cast<sockaddr_in6*>(&out->storage));
}

std::string SockAddrToText(const sockaddr* addr) {
  char buf[INET6_ADDRSTRLEN] = {0};
  if (addr->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(addr);
    if (inet_ntop(AF_INET, &v4->sin_addr, buf, INET_ADDRSTRLEN) == nullptr)
      return std::string();
  } else {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(addr);
    if (inet_ntop(AF_INET6, &v6->sin6_addr, buf, INET6_ADDRSTRLEN) == nullptr) {
      return std::string();
    }
  }
  return std::string(buf);
}

uint16_t SockAddrPort(const sockaddr* addr) {
  // sin_port and sin6_port sit at the same offset.
  return ntohs(reinterpret_cast<const sockaddr_in*>(addr)->sin_port);
}

bool IsPrivateIPv4(const std::string& text) {
  uint32_t a;
  return ParseV4(text, &a) && IsPrivateV4(a);
}

bool IsReservedIPv4(const std::string& text) {
  uint32_t a;
  if (!ParseV4(text, &a))
    return false;
  return InV4(a, V4(0, 0, 0, 0), 8) || IsPrivateV4(a) || InV4(a, V4(100, 64, 0, 0), 10) ||
         InV4(a, V4(127, 0, 0, 0), 8) || InV4(a, V4(169, 254, 0, 0), 16) ||
         InV4(a, V4(192, 0, 0, 0), 24) || InV4(a, V4(192, 0, 2, 0), 24) ||
         InV4(a, V4(192, 88, 99, 0), 24) || InV4(a, V4(198, 18, 0, 0), 15) ||
         InV4(a, V4(198, 51, 100, 0), 24) || InV4(a, V4(203, 0, 113, 0), 24) ||
         InV4(a, V4(224, 0, 0, 0), 3);
}

bool IsPrivateIPv6(const std::string& text) {
  in6_addr a;
  return ParseV6(text, &a) && InV6(a, kUniqueLocal);
}

bool IsReservedIPv6(const std::string& text) {
  in6_addr a;
  if (!ParseV6(text, &a))
    return false;
  for (const V6Net& net : kReservedV6) {
    if (InV6(a, net))
      return true;
  }
  return false;
}

int SetNoDelay(int fd, bool on) {
  return SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

int SetReuseAddr(int fd, bool on) {
  return SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

int SetReusePort(int fd, bool on) {
  return SetIntOption(fd, SOL_SOCKET, SO_REUSEPORT, on ? 1 : 0);
}

int SetV6Only(int fd, bool on) {
  return SetIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, on ? 1 : 0);
}

int SetBindAddressNoPort(int fd, bool on) {
  return SetIntOption(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, on ? 1 : 0);
}

int SetLingerReset(int fd) {
  linger value;
  value.l_onoff = 1;
  value.l_linger = 0;
  return setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
}

int BindToDevice(int fd, const char* nic) {
  if (nic == nullptr || nic[0] == '\0')
    return 0;
  ifreq ifr;
  // The kernel reads the name from the start of the buffer; the size of the rest of ifreq
  // differs between 32- and 64-bit targets and does not matter.
  static_assert(offsetof(ifreq, ifr_name) == 0 && sizeof(ifr.ifr_name) == IFNAMSIZ, "ifreq layout");
  std::memset(&ifr, 0, sizeof(ifr));
  std::memcpy(ifr.ifr_name, nic, std::min<size_t>(std::strlen(nic), sizeof(ifr.ifr_name)));
  return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, &ifr, sizeof(ifr));
}

int SetKeepAlive(int fd, bool on, int idle_ms, int interval_ms, int count) {
  int rc = SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0);
  if (rc != 0)
    return rc;
  rc = SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, idle_ms / 1000);
  if (rc != 0)
    return rc;
  rc = SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, interval_ms / 1000);
  if (rc != 0)
    return rc;
  return SetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, count);
}

int SetSendBufferSize(int fd, int bytes) {
  return SetIntOption(fd, SOL_SOCKET, SO_SNDBUF, bytes);
}

int GetSendBufferSize(int fd, int* bytes) {
  socklen_t len = sizeof(*bytes);
  return getsockopt(fd, SOL_SOCKET, SO_SNDBUF, bytes, &len);
}

int SendFlags() {
  return MSG_NOSIGNAL;
}
int LastError() {
  return errno;
}
bool IsAgain(int err) {
  return err == EAGAIN;
}
bool IsInterrupted(int err) {
  return err == EINTR;
}
bool IsInProgress(int err) {
  return err == EINPROGRESS;
}

std::vector<std::string> LookupAddresses(const std::string& host, bool ipv4) {
  std::vector<std::string> out;
  int family = ipv4 ? AF_INET : AF_INET6;
  addrinfo* result = Lookup(host, family);
  for (addrinfo* ai = result; ai != nullptr && ai->ai_addr != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != family)
      continue;
    AppendUnique(&out, SockAddrToText(ai->ai_addr));
  }
  if (result != nullptr)
    freeaddrinfo(result);
  return out;
}

std::pair<std::vector<std::string>, std::vector<std::string>> LookupAllAddresses(
    const std::string& host) {
  std::pair<std::vector<std::string>, std::vector<std::string>> out;
  addrinfo* result = Lookup(host, AF_UNSPEC);
  for (addrinfo* ai = result; ai != nullptr && ai->ai_addr != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      std::string text = SockAddrToText(ai->ai_addr);
      if (IsIPv4(text))
        AppendUnique(&out.first, std::move(text));
    } else if (ai->ai_family == AF_INET6) {
      std::string text = SockAddrToText(ai->ai_addr);
      if (IsIPv6(text))
        AppendUnique(&out.second, std::move(text));
    }
  }
  if (result != nullptr)
    freeaddrinfo(result);
  return out;
}

}  // namespace tovali
