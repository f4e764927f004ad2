// palvexd's record line from any identity bytes: one compact JSON object in well-formed UTF-8,
// members in order, the identity the repaired bytes cut to its bound between two characters.
//
// Input: one byte of dial-back outcome, then the identity bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_checks.h"
#include "server/DetectRecord.h"

using palvex_fuzz::CompactObjectReader;
using palvex_fuzz::IsUtf8;
using palvex_fuzz::JsonMember;
using palvex_fuzz::ReferenceRepair;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  palvexd::DetectRecord record;
  record.time = 1700000000;
  record.peer = "[2001:db8::7]:50123";
  record.local = "2001:db8::1";
  record.version = 1;
  record.identity = palvexd::SanitizeIdentity(bytes);
  record.location = {156, 11, 1101, 2};
  record.dialback = static_cast<palvexd::DialbackOutcome>(data[0] % 6);
  record.dialback_ms = data[0];

  const std::string repaired = ReferenceRepair(bytes);
  FUZZ_CHECK(record.identity.size() <= palvexd::kMaxIdentityBytes);
  FUZZ_CHECK(repaired.compare(0, record.identity.size(), record.identity) == 0);
  FUZZ_CHECK(record.identity.size() == repaired.size() ||
             record.identity.size() + 4 > palvexd::kMaxIdentityBytes);

  const std::string line = palvexd::BuildRecordLine(record);
  FUZZ_CHECK(IsUtf8(line));
  std::vector<JsonMember> members;
  FUZZ_CHECK(CompactObjectReader(line).Read(&members));
  const char* keys[] = {"time",     "peer", "local", "version",  "identity",  "country",
                        "province", "city", "isp",   "dialback", "dialbackMs"};
  const size_t want = record.dialback == palvexd::DialbackOutcome::kOk ? 11 : 10;
  FUZZ_CHECK(members.size() == want);
  for (size_t i = 0; i < want; ++i)
    FUZZ_CHECK(members[i].key == keys[i]);
  FUZZ_CHECK(members[4].is_string && members[4].value == record.identity);
  FUZZ_CHECK(members[9].value == palvexd::OutcomeName(record.dialback));
  return 0;
}
