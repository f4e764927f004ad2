#include "server/ServerConfig.h"

#include <arpa/inet.h>

#include <cstring>
#include <utility>

#include "tovali/Network/socket_util.h"

namespace palvexd {

bool ParseEndpoint(const std::string& text, Endpoint* out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 >= text.size() || text.size() - colon > 6)
    return false;
  std::string host = text.substr(0, colon);
  bool ipv4 = true;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    ipv4 = false;
  }
  if (ipv4 ? !tovali::IsIPv4(host) : !tovali::IsIPv6(host))
    return false;
  unsigned long port = 0;
  for (size_t i = colon + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9')
      return false;
    port = port * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  if (port == 0 || port > 65535)
    return false;
  out->ip = host;
  out->ipv4 = ipv4;
  out->port = static_cast<uint16_t>(port);
  return true;
}

namespace {

bool IsWildcard(const Endpoint& endpoint) {
  unsigned char bytes[16] = {};
  if (inet_pton(endpoint.ipv4 ? AF_INET : AF_INET6, endpoint.ip.c_str(), bytes) != 1)
    return false;
  static const unsigned char kZero[16] = {};
  return std::memcmp(bytes, kZero, endpoint.ipv4 ? 4 : 16) == 0;
}

void AddOnce(std::vector<Endpoint>* out, Endpoint endpoint) {
  for (const Endpoint& e : *out) {
    if (e.ipv4 == endpoint.ipv4 && e.ip == endpoint.ip && e.port == endpoint.port)
      return;
  }
  out->push_back(std::move(endpoint));
}

}  // namespace

std::vector<Endpoint> ServingEndpoints(const ServerConfig& config) {
  std::vector<Endpoint> out;
  for (const Endpoint& listen : config.listen) {
    const std::string& other = listen.ipv4 ? config.other_v4 : config.other_v6;
    std::vector<std::string> ips{listen.ip};
    if (!other.empty() && !IsWildcard(listen))
      ips.push_back(other);
    std::vector<uint16_t> ports{listen.port};
    if (config.other_port != 0)
      ports.push_back(config.other_port);
    for (const std::string& ip : ips) {
      for (uint16_t port : ports)
        AddOnce(&out, Endpoint{ip, listen.ipv4, port});
    }
  }
  return out;
}

}  // namespace palvexd
