// What the reverse detection prints and stores: the result record and the ISP file (what it puts
// on the wire and takes off it is in wire/DetectProtocol.h). Pure functions; none of them logs,
// so the caller's log lines keep its own source name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Paths.h"
#include "wire/NatGrade.h"

namespace palvex {

// Everything the result record shows.
struct DetectReport {
  std::string nic;
  bool ipv6 = false;
  bool locate = false;
  std::string ip;  // configured local address, empty when not given
  uint16_t listen_port = 0;
  std::string mapped_addr;
  uint16_t country = 0;
  uint16_t province = 0;
  uint16_t city = 0;
  uint16_t isp = 0;
  std::string server_ip;
  uint16_t port = 0;  // server port
  std::string detect_addr;
  int32_t p2p_status = -1;
  int64_t timestamp = 0;  // seconds since the Unix epoch, see tovali::RealTimeSeconds
};

// The compact one-line JSON record (no trailing line feed); empty if cJSON runs out of memory.
// Always valid JSON and well-formed UTF-8, whatever the texts hold: ill-formed bytes become
// U+FFFD, a zero byte is escaped as \u0000, and well-formed text parses back unchanged.
std::string BuildDetectRecord(const DetectReport& report);

// Everything the nat subcommand's result line shows.
struct NatReport {
  std::string nic;
  bool ipv6 = false;
  bool udp = false;
  std::string ip;  // configured local address, empty when not given
  uint16_t listen_port = 0;
  std::string server;  // "ip:port" of the primary endpoint
  std::string other;   // the other endpoint as advertised; empty without
  std::string mapped[3];
  uint16_t country = 0;
  uint16_t province = 0;
  uint16_t city = 0;
  uint16_t isp = 0;
  NatVerdict verdict;
  int64_t timestamp = 0;
};

// The compact one-line JSON record of a grading, as BuildDetectRecord makes its own.
std::string BuildNatRecord(const NatReport& report);

// Replaces the ISP file's content with the decimal code when it is not 0, atomically (a reader
// never sees a part) and never through a link: one at the path is replaced. True when written;
// false for code 0 (file left alone) or when the file cannot be written.
bool WriteIspFile(uint16_t isp, const std::string& path = kIspFile);

}  // namespace palvex
