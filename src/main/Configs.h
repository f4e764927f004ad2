// The option records that the command line fills and the detectors take over.
#pragma once

#include <cstdint>
#include <string>

namespace palvex {

// Default mode: reverse detection.
struct ReverseConfig {
  std::string nic;
  std::string ip;
  std::string host;
  uint16_t port = 60002;
  uint16_t bind_min_port = 50000;
  uint16_t bind_max_port = 53000;
  uint32_t timeout = 2000;  // ms, counted from the detector's construction
  bool ipv6 = false;
  bool locate = false;
};

// The ping subcommand's default target.
inline constexpr const char* kDefaultPingHost = "www.wikipedia.org";

struct PingConfig {
  std::string host = kDefaultPingHost;
  uint16_t port = 80;
  uint32_t count = 10;
  uint32_t interval = 1000;  // ms
  std::string bind_ip;
  std::string bind_nic;
  bool ipv6 = false;
};

}  // namespace palvex
