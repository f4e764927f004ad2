// The option records that the command line fills and the detectors take over.
#pragma once

#include <cstdint>
#include <string>

namespace palvex {

// The defaults, written once: the records start from them and the help texts show them.
inline constexpr uint16_t kDefaultServerPort = 60002;
inline constexpr uint16_t kDefaultBindMinPort = 50000;
inline constexpr uint16_t kDefaultBindMaxPort = 53000;
inline constexpr uint32_t kDefaultTimeoutMs = 2000;
inline constexpr uint32_t kDefaultNatTimeoutMs = 3000;  // nat: two more round trips
inline constexpr uint16_t kDefaultStunPort = 3478;      // nat --udp
inline constexpr uint16_t kDefaultPingPort = 80;
inline constexpr uint32_t kDefaultPingCount = 10;
inline constexpr uint32_t kDefaultPingIntervalMs = 1000;

// Default mode: reverse detection; the nat subcommand takes the same record.
struct ReverseConfig {
  std::string nic;
  std::string ip;
  std::string host;
  uint16_t port = kDefaultServerPort;
  uint16_t bind_min_port = kDefaultBindMinPort;
  uint16_t bind_max_port = kDefaultBindMaxPort;
  uint32_t timeout = kDefaultTimeoutMs;  // counted from the detector's construction
  bool ipv6 = false;
  bool locate = false;
};

// The ping subcommand's default target.
inline constexpr const char* kDefaultPingHost = "www.wikipedia.org";

struct PingConfig {
  std::string host = kDefaultPingHost;
  uint16_t port = kDefaultPingPort;
  uint32_t count = kDefaultPingCount;
  uint32_t interval = kDefaultPingIntervalMs;
  std::string bind_ip;
  std::string bind_nic;
  bool ipv6 = false;
};

}  // namespace palvex
