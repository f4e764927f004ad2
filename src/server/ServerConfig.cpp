#include "server/ServerConfig.h"

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

}  // namespace palvexd
