// The detect protocol as both programs speak it: the request kinds and the request frame, the
// reply text the service writes and the probe reads, the dial-back frame, and the text form of
// an address and port. Each message is built in one function and read in one. Pure functions;
// none of them logs, so each caller's lines keep its own source name.
#pragma once

#include <cstdint>
#include <string>

#include "wire/Frame.h"

namespace palvex {

// Request kinds: the version field of the request frame.
inline constexpr uint16_t kDetectVersion = 1;  // full detection: reply, then a dial-back
inline constexpr uint16_t kLocateVersion = 4;  // mapped address and location codes only
// A NAT grading's request (wire/GradeProtocol.h): far from the detect versions, so that no
// service that predates it mistakes it for a detection.
inline constexpr uint16_t kGradeVersion = 0x4E47;

// True for the versions a service answers.
bool IsRequestVersion(uint16_t version);

// The detect request: header (version 1, or 4 with `locate`) and the identity bytes as payload.
std::string BuildDetectRequest(const std::string& identity, bool locate);

// The dial-back frame the service sends once its connection back is open; its payload is the
// service's id, which the probe only logs.
std::string BuildDialbackFrame(const std::string& server_id);

// The reply: the device's address as the service saw it, and four location codes.
struct DetectReply {
  std::string mapped_addr;
  uint16_t country = 0;
  uint16_t province = 0;
  uint16_t city = 0;
  uint16_t isp = 0;
};

// "mapped|country|province|city|isp", the codes in decimal; not framed.
std::string WriteDetectReply(const DetectReply& reply);

// Outcome of ReadDetectReply.
enum ReplyResult : int {
  kReplyParsed = 0,    // five pieces, every code converted
  kReplyUnshaped = 1,  // no "|" or not five non-empty pieces: mapped_addr holds the whole text
  kReplyBadCode = 2,   // a code had no leading number or overflowed; later codes left as they were
};

// Takes one delivery of the reply into *reply. mapped_addr is always replaced (by the whole
// text, or by the first piece when the shape fits); the codes are replaced in order until the
// first that cannot be converted. Empty pieces are dropped.
int ReadDetectReply(const std::string& text, DetectReply* reply);

// One location code: leading white space and a sign allowed, digits up to the first other
// character, a minus negating modulo 2^64; the low 16 bits are stored. False (out untouched)
// when there is no leading number or it does not fit 64 bits.
bool ParseLocationCode(const std::string& piece, uint16_t* out);

// "ip:port", the ip in brackets for IPv6 (also when empty).
std::string FormatAddress(const std::string& ip, bool ipv6, uint16_t port);

}  // namespace palvex
