#include "wire/NatGrade.h"

#include <cstdlib>

namespace palvex {
namespace {

NatBehaviour Mapping(const NatObservation& seen, int nat) {
  const std::string& m1 = seen.mapped[0];
  const std::string& m2 = seen.mapped[1];
  const std::string& m3 = seen.mapped[2];
  if (nat == 0)
    return NatBehaviour::kNone;
  if (nat != 1)
    return NatBehaviour::kUnknown;
  if (!m2.empty() && !m3.empty() && m2 != m3)
    return NatBehaviour::kAddressAndPortDependent;
  // Without another address, M3 came from the primary address's other port.
  if (!seen.other_address && !m1.empty() && !m3.empty() && m1 != m3)
    return NatBehaviour::kAddressAndPortDependent;
  if (m1.empty() || m2.empty() || m3.empty())
    return NatBehaviour::kUnknown;
  // All three known and M2 = M3 (a different pair was taken above).
  return m2 != m1 ? NatBehaviour::kAddressDependent : NatBehaviour::kEndpointIndependent;
}

NatBehaviour Filtering(const NatObservation& seen) {
  const DialbackTest address = seen.from_other_address;
  const DialbackTest port = seen.from_other_port;
  if (address == DialbackTest::kArrived)
    return NatBehaviour::kEndpointIndependent;
  if (port == DialbackTest::kArrived && address == DialbackTest::kNotArrived)
    return NatBehaviour::kAddressDependent;
  // Nothing from the other address can still come in.
  const bool address_closed =
      address == DialbackTest::kNotArrived || address == DialbackTest::kNotStarted;
  if (port == DialbackTest::kNotArrived && address_closed)
    return NatBehaviour::kAddressAndPortDependent;
  return NatBehaviour::kUnknown;
}

}  // namespace

long EndpointPort(const std::string& endpoint) {
  const size_t colon = endpoint.rfind(':');
  if (colon == std::string::npos || colon + 1 >= endpoint.size())
    return -1;
  char* end = nullptr;
  const long port = std::strtol(endpoint.c_str() + colon + 1, &end, 10);
  return *end == '\0' && port >= 0 && port <= 65535 ? port : -1;
}

const char* NatBehaviourName(NatBehaviour behaviour) {
  switch (behaviour) {
    case NatBehaviour::kNone:
      return "none";
    case NatBehaviour::kEndpointIndependent:
      return "endpoint-independent";
    case NatBehaviour::kAddressDependent:
      return "address-dependent";
    case NatBehaviour::kAddressAndPortDependent:
      return "address-and-port-dependent";
    case NatBehaviour::kUnknown:
      break;
  }
  return "unknown";
}

NatVerdict ClassifyNat(const NatObservation& seen) {
  NatVerdict verdict;
  if (!seen.mapped[0].empty()) {
    verdict.nat = 0;
    for (int i = 0; i < 3; ++i) {
      if (!seen.mapped[i].empty() && seen.mapped[i] != seen.local[i])
        verdict.nat = 1;
    }
    verdict.port_preserved = EndpointPort(seen.mapped[0]) == seen.listen_port ? 1 : 0;
  }
  verdict.mapping = Mapping(seen, verdict.nat);
  verdict.filtering = Filtering(seen);

  // Two known mapped endpoints that differ: the mapping depends on the destination.
  bool differ = false;
  for (int i = 0; i < 3; ++i) {
    for (int j = i + 1; j < 3; ++j) {
      if (!seen.mapped[i].empty() && !seen.mapped[j].empty() && seen.mapped[i] != seen.mapped[j])
        differ = true;
    }
  }
  if (verdict.nat == 1 && differ) {
    verdict.nat_type = 4;
  } else if (verdict.mapping == NatBehaviour::kNone ||
             verdict.mapping == NatBehaviour::kEndpointIndependent) {
    switch (verdict.filtering) {
      case NatBehaviour::kEndpointIndependent:
        verdict.nat_type = verdict.mapping == NatBehaviour::kNone ? 0 : 1;
        break;
      case NatBehaviour::kAddressDependent:
        verdict.nat_type = 2;
        break;
      case NatBehaviour::kAddressAndPortDependent:
        verdict.nat_type = 3;
        break;
      default:
        break;
    }
  }
  return verdict;
}

}  // namespace palvex
