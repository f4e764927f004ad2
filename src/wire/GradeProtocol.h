// The NAT grading's messages, for palvex and palvexd alike. Every one travels in a frame of
// version kGradeVersion whose payload is "key=value" lines joined by line feeds: keys are
// lower-case letters, digits and '-', each at most once; unknown keys are ignored. The request's
// `identity` is its last line and takes the rest of the payload, line feeds included. Pure
// functions; none of them logs.
//
//   request  (device -> service)  nonce, test ("grade" | "mapping"), local, identity
//   reply    (service -> device)  kind=reply, nonce, mapped, country, province, city, isp,
//                                 other-address, other-port, tests (the dial-backs started)
//   failed   (service -> device)  kind=failed, nonce, test, outcome
//   dialback (service -> device)  kind=dialback, nonce, test, server
#pragma once

#include <cstdint>
#include <string>

#include "wire/DetectProtocol.h"

namespace palvex {

// The two filtering tests: a connection back from the other address (any port), and one from
// the primary address with another port.
inline constexpr const char* kTestOtherAddress = "other-address";
inline constexpr const char* kTestOtherPort = "other-port";

// 64 random bits in 16 lower-case hexadecimal digits.
std::string MakeNonce();
// 16 to 64 hexadecimal digits.
bool IsNonce(const std::string& text);

struct GradeRequest {
  std::string nonce;
  bool mapping_only = false;  // "mapping": no dial-back, the mapped endpoint only
  std::string local;          // the device's own end of the connection, "ip:port"; may be empty
  std::string identity;
};

std::string BuildGradeRequest(const GradeRequest& request);
// False for a payload that is not a request: no valid nonce, no known test, a malformed line.
bool ReadGradeRequest(const std::string& payload, GradeRequest* out);

struct GradeMessage {
  enum Kind : uint8_t { kReply, kFailed, kDialback };
  Kind kind = kReply;
  std::string nonce;
  // kReply
  DetectReply reply;
  std::string other_address;  // advertised; empty without one for this family
  uint16_t other_port = 0;    // 0 without one
  bool tests_other_address = false;
  bool tests_other_port = false;
  // kFailed and kDialback
  std::string test;
  std::string outcome;  // kFailed: "refused", "timeout", "unreachable" or "error"
  std::string server;   // kDialback: the service's id
};

// The whole frame.
std::string BuildGradeMessage(const GradeMessage& message);
// False for a payload that is not a message of a known kind with a valid nonce, or whose codes
// or port do not convert.
bool ReadGradeMessage(const std::string& payload, GradeMessage* out);

}  // namespace palvex
