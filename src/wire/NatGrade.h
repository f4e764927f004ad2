// The grade of a device's TCP NAT from what a grading observed, by one set of rules for the probe
// and the service alike: mapping and filtering behaviour (RFC 4787 and 5382 terms) and the
// NAT0-NAT4 type operators grade devices by. Only decided facts count; whatever is not decided
// is unknown, never guessed. Pure functions.
#pragma once

#include <cstdint>
#include <string>

namespace palvex {

enum class NatBehaviour : uint8_t {
  kNone,  // no translation (mapping only)
  kEndpointIndependent,
  kAddressDependent,
  kAddressAndPortDependent,
  kUnknown,
};

// "none", "endpoint-independent", "address-dependent", "address-and-port-dependent", "unknown".
const char* NatBehaviourName(NatBehaviour behaviour);

// One filtering test: the service's connection back from another address or another port.
enum class DialbackTest : uint8_t {
  kNotStarted,  // the service could not run it (no such address or port)
  kPending,     // started, not decided yet
  kArrived,     // its frame came, nonce and test name matching
  kNotArrived,  // the service reported its failure, or the wait ended
};

struct NatObservation {
  // M1 (the primary endpoint's view), M2 (other address, primary port), M3 (other port: on the
  // other address, or on the primary address when the service has no other address), as
  // "ip:port" texts; empty when not received. local[i] is the local endpoint, in the same
  // form, of the connection that received mapped[i].
  std::string mapped[3];
  std::string local[3];
  bool other_address = false;  // M3 was asked of the other address
  uint16_t listen_port = 0;    // the local port every connection was made from
  DialbackTest from_other_address = DialbackTest::kNotStarted;
  DialbackTest from_other_port = DialbackTest::kNotStarted;
};

struct NatVerdict {
  int nat = -1;             // 0 no translation seen, 1 translated, -1 no reply
  int port_preserved = -1;  // M1's port is the listening port: 1, 0; -1 without M1
  NatBehaviour mapping = NatBehaviour::kUnknown;
  NatBehaviour filtering = NatBehaviour::kUnknown;
  int nat_type = -1;  // 0 public, 1 full cone, 2 restricted, 3 port-restricted, 4 symmetric
};

NatVerdict ClassifyNat(const NatObservation& seen);

// The port of "ip:port" or "[ip]:port"; -1 when there is none.
long EndpointPort(const std::string& endpoint);

}  // namespace palvex
