// The service's option record, filled from the command line and read by every part of the
// service. Plain values; the defaults are the documented ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace palvexd {

// One listening or serving address: numeric text without brackets, its family, and a port.
struct Endpoint {
  std::string ip;
  bool ipv4 = true;
  uint16_t port = 0;
};

// "a.b.c.d:port" or "[v6]:port" with a port of 1..65535. False (out untouched) otherwise.
bool ParseEndpoint(const std::string& text, Endpoint* out);
// (palvex::FormatAddress writes the text form ParseEndpoint reads.)

struct ServerConfig {
  std::vector<Endpoint> listen;  // empty: 0.0.0.0:60002 and [::]:60002
  uint32_t max_request = 4096;   // payload bytes of a request frame
  uint32_t read_timeout_ms = 5000;
  uint32_t hold_timeout_ms = 10000;
  uint32_t dialback_delay_ms = 0;
  uint32_t connect_timeout_ms = 3000;
  // How long a dial-back waits, once its frame is queued, for the frame to go out and the
  // device to close; also the drain time at shutdown.
  uint32_t dialback_linger_ms = 2000;
  std::string dialback_from_v4;  // empty: the address the request arrived on
  std::string dialback_from_v6;
  std::string server_id = "palvexd";
  std::string locations;  // table file; empty: every lookup gives 0 0 0 0
  // MMDB databases and the operator's maps from their keys to codes; the table's prefixes win.
  std::string mmdb_city;
  std::string mmdb_asn;
  std::string map_province;
  std::string map_city;
  std::string map_isp;
  std::string record;   // record file; empty: standard output
  std::string metrics;  // "ADDR:PORT"; empty: off
  uint32_t max_connections = 10000;
  uint32_t max_dialbacks = 256;
  uint32_t source_connections = 16;  // open connections per source address; 0: no limit
  uint32_t source_rate = 60;         // requests per minute per source address; 0: no limit
  uint32_t workers = 1;
  // NAT grading: a second address of the host per family and a second port. The advertised
  // form is what devices are told to connect to (a public address in front of a private one).
  std::string other_v4;
  std::string other_v6;
  std::string other_advertised_v4;  // empty: other_v4 itself
  std::string other_advertised_v6;
  uint16_t other_port = 0;             // 0: none
  uint32_t grading_timeout_ms = 1000;  // connect timeout of grading dial-backs
  // STUN service addresses (UDP, specific addresses); empty: off.
  std::vector<Endpoint> stun;
  // How long a grading's record waits for its mapping requests after the reply.
  uint32_t grading_hold_ms = 5000;
};

// Every endpoint the service listens on: the configured ones, and with an other address or port
// each pair of {listen address, other address of its family} x {listen port, other port}. A
// wildcard listen address already covers the other address.
std::vector<Endpoint> ServingEndpoints(const ServerConfig& config);

// The other address of a family as devices are told it; empty without one.
inline const std::string& AdvertisedOther(const ServerConfig& config, bool ipv4) {
  const std::string& advertised = ipv4 ? config.other_advertised_v4 : config.other_advertised_v6;
  return advertised.empty() ? (ipv4 ? config.other_v4 : config.other_v6) : advertised;
}

inline constexpr uint16_t kDefaultPort = 60002;
inline constexpr uint32_t kMaxWorkers = 64;

}  // namespace palvexd
