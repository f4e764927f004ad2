// What the reverse detection puts on the wire, takes off it, prints and stores: the detect
// request, the server's reply, the inbound frame header, the result record and the ISP file.
// Pure functions; none of them logs, so the caller's log lines keep its own source name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Frame.h"
#include "base/Paths.h"

namespace palvex {

// The detect request: header (version 1, or 4 with `locate`) and the identity bytes as payload.
std::string BuildDetectRequest(const std::string& identity, bool locate);

// Outcome of ParseDetectReply.
enum ReplyResult : int {
  kReplyParsed = 0,    // five pieces, every code converted
  kReplyUnshaped = 1,  // no "|" or not five non-empty pieces: mapped_addr holds the whole text
  kReplyBadCode = 2,   // a code had no leading number or overflowed; later codes left as they were
};

// Takes one delivery of the server's reply "mapped|country|province|city|isp". mapped_addr is
// always replaced (by the whole text, or by the first piece when the shape fits); the codes are
// replaced in order until the first that cannot be converted. Empty pieces are dropped.
int ParseDetectReply(const std::string& text, std::string& mapped_addr, uint16_t& country,
                     uint16_t& province, uint16_t& city, uint16_t& isp);

// One location code: leading white space and a sign allowed, digits up to the first other
// character, a minus negating modulo 2^64; the low 16 bits are stored. False (out untouched)
// when there is no leading number or it does not fit 64 bits.
bool ParseLocationCode(const std::string& piece, uint16_t* out);

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
  int64_t timestamp = 0;  // seconds since the Unix epoch, see RealTimeSeconds
};

// The compact one-line JSON record (no trailing line feed); empty if cJSON runs out of memory.
// Always valid JSON and well-formed UTF-8, whatever the texts hold: ill-formed bytes become
// U+FFFD, a zero byte is escaped as \u0000, and well-formed text parses back unchanged.
std::string BuildDetectRecord(const DetectReport& report);

// Replaces the ISP file's content with the decimal code when it is not 0, atomically (a reader
// never sees a part) and never through a link: one at the path is replaced. True when written;
// false for code 0 (file left alone) or when the file cannot be written.
bool WriteIspFile(uint16_t isp, const std::string& path = kIspFile);

}  // namespace palvex
