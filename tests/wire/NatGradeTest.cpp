#include "wire/NatGrade.h"

#include <gtest/gtest.h>

#include <string>

namespace palvex {
namespace {

using T = DialbackTest;
using B = NatBehaviour;

constexpr const char* kLocal = "10.0.0.2:50123";
constexpr const char* kPublic = "203.0.113.7:50123";

struct Case {
  const char* name;
  std::string m1, m2, m3;
  bool other_address;
  T from_address, from_port;
  int nat, port_preserved;
  B mapping, filtering;
  int nat_type;
};

// M1..M3 are "" (not received), or mapped texts; every connection's local endpoint is kLocal.
class NatGradeTest : public testing::TestWithParam<Case> {};

TEST_P(NatGradeTest, GradesOnlyWhatIsDecided) {
  const Case& c = GetParam();
  NatObservation seen;
  seen.mapped[0] = c.m1;
  seen.mapped[1] = c.m2;
  seen.mapped[2] = c.m3;
  for (std::string& local : seen.local)
    local = kLocal;
  seen.other_address = c.other_address;
  seen.listen_port = 50123;
  seen.from_other_address = c.from_address;
  seen.from_other_port = c.from_port;
  const NatVerdict v = ClassifyNat(seen);
  EXPECT_EQ(v.nat, c.nat);
  EXPECT_EQ(v.port_preserved, c.port_preserved);
  EXPECT_STREQ(NatBehaviourName(v.mapping), NatBehaviourName(c.mapping));
  EXPECT_STREQ(NatBehaviourName(v.filtering), NatBehaviourName(c.filtering));
  EXPECT_EQ(v.nat_type, c.nat_type);
}

const std::string other = "203.0.113.7:61000";
const std::string third = "203.0.113.7:62000";

INSTANTIATE_TEST_SUITE_P(
    Table, NatGradeTest,
    testing::Values(
        Case{"public", kLocal, kLocal, kLocal, true, T::kArrived, T::kArrived, 0, 1, B::kNone,
             B::kEndpointIndependent, 0},
        Case{"public_behind_firewall", kLocal, kLocal, kLocal, true, T::kNotArrived, T::kNotArrived,
             0, 1, B::kNone, B::kAddressAndPortDependent, 3},
        Case{"full_cone", kPublic, kPublic, kPublic, true, T::kArrived, T::kArrived, 1, 1,
             B::kEndpointIndependent, B::kEndpointIndependent, 1},
        Case{"restricted", kPublic, kPublic, kPublic, true, T::kNotArrived, T::kArrived, 1, 1,
             B::kEndpointIndependent, B::kAddressDependent, 2},
        Case{"port_restricted", kPublic, kPublic, kPublic, true, T::kNotArrived, T::kNotArrived, 1,
             1, B::kEndpointIndependent, B::kAddressAndPortDependent, 3},
        Case{"symmetric", kPublic, other, third, true, T::kNotArrived, T::kNotArrived, 1, 1,
             B::kAddressAndPortDependent, B::kAddressAndPortDependent, 4},
        Case{"address_dependent_mapping", kPublic, other, other, true, T::kNotArrived,
             T::kNotArrived, 1, 1, B::kAddressDependent, B::kAddressAndPortDependent, 4},
        // The other port on the primary address tells a port-dependent mapping alone.
        Case{"other_port_only_differs", kPublic, "", other, false, T::kNotStarted, T::kNotArrived,
             1, 1, B::kAddressAndPortDependent, B::kAddressAndPortDependent, 4},
        Case{"other_port_only_same", kPublic, "", kPublic, false, T::kNotStarted, T::kArrived, 1, 1,
             B::kUnknown, B::kUnknown, -1},
        Case{"other_port_only_filtered", kPublic, "", kPublic, false, T::kNotStarted,
             T::kNotArrived, 1, 1, B::kUnknown, B::kAddressAndPortDependent, -1},
        // Without other address and port: only what M1 proves.
        Case{"primary_only_translated", "203.0.113.7:40000", "", "", false, T::kNotStarted,
             T::kNotStarted, 1, 0, B::kUnknown, B::kUnknown, -1},
        Case{"primary_only_public", kLocal, "", "", false, T::kNotStarted, T::kNotStarted, 0, 1,
             B::kNone, B::kUnknown, -1},
        // A test still pending decides nothing; nor does an advertised address never asked.
        Case{"pending", kPublic, kPublic, kPublic, true, T::kPending, T::kArrived, 1, 1,
             B::kEndpointIndependent, B::kUnknown, -1},
        Case{"port_pending", kPublic, kPublic, kPublic, true, T::kNotArrived, T::kPending, 1, 1,
             B::kEndpointIndependent, B::kUnknown, -1},
        Case{"rejected_other_address", kPublic, "", "", true, T::kNotArrived, T::kNotArrived, 1, 1,
             B::kUnknown, B::kAddressAndPortDependent, -1},
        Case{"no_reply", "", "", "", true, T::kNotStarted, T::kNotStarted, -1, -1, B::kUnknown,
             B::kUnknown, -1}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvex
