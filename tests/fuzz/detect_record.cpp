// The server's reply through the reply parser into the result record: whatever the bytes, the
// record is one compact JSON object in well-formed UTF-8, with its members in order, and every
// text parses back repaired as Unicode prescribes (unchanged where it was well-formed).
//
// Input: one flags byte (bit 0 IPv6, bit 1 locate; the rest, the room given to the in-place
// repair), then nic, ip, server address and detect address, each ended by a line feed, then the
// reply (all remaining bytes).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.h"
#include "main/DetectMessage.h"
#include "tovali/util/utf8.h"
#include "wire/DetectProtocol.h"

using palvex_fuzz::CompactObjectReader;
using palvex_fuzz::IsUtf8;
using palvex_fuzz::JsonMember;
using palvex_fuzz::ReferenceRepair;

namespace {

std::string_view NextField(std::string_view* rest) {
  size_t end = rest->find('\n');
  std::string_view field = rest->substr(0, end);
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  return field;
}

// The in-place repair with `extra` bytes of room beyond the input: a prefix of the whole repair
// that ends between two pieces (the next piece, at most 4 bytes, did not fit).
void CheckInPlaceRepair(std::string_view in, size_t extra) {
  const std::string whole = ReferenceRepair(in);
  const size_t capacity = in.size() + extra;
  std::string buffer(in);
  buffer.resize(capacity);
  size_t size = tovali::SanitizeUtf8InPlace(buffer.data(), in.size(), capacity);
  FUZZ_CHECK(size <= capacity);
  buffer.resize(size);
  FUZZ_CHECK(whole.compare(0, size, buffer) == 0);
  FUZZ_CHECK(size == whole.size() || capacity - size < 4);
  FUZZ_CHECK(IsUtf8(buffer));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const unsigned flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  palvex::DetectReport report;
  report.ipv6 = (flags & 1) != 0;
  report.locate = (flags & 2) != 0;
  report.nic = std::string(NextField(&rest));
  report.ip = std::string(NextField(&rest));
  report.server_ip = std::string(NextField(&rest));
  report.detect_addr = std::string(NextField(&rest));
  const std::string reply(rest);
  report.listen_port = 50123;
  report.port = 60002;
  report.p2p_status = report.detect_addr.empty() ? -1 : 1;
  report.timestamp = 1700000000;

  palvex::DetectReply parsed;
  const int result = palvex::ReadDetectReply(reply, &parsed);
  report.mapped_addr = parsed.mapped_addr;
  report.country = parsed.country;
  report.province = parsed.province;
  report.city = parsed.city;
  report.isp = parsed.isp;
  FUZZ_CHECK(result == palvex::kReplyParsed || result == palvex::kReplyUnshaped ||
             result == palvex::kReplyBadCode);
  FUZZ_CHECK(result != palvex::kReplyUnshaped || report.mapped_addr == reply);

  FUZZ_CHECK(tovali::SanitizeUtf8(reply) == ReferenceRepair(reply));
  CheckInPlaceRepair(reply, flags >> 2);

  const std::string record = palvex::BuildDetectRecord(report);
  FUZZ_CHECK(IsUtf8(record));
  std::vector<JsonMember> members;
  FUZZ_CHECK(CompactObjectReader(record).Read(&members));

  // Members in order, each with the repaired text or the number it was given.
  std::vector<JsonMember> want;
  auto text = [&want](const char* key, const std::string& value) {
    want.push_back({key, true, ReferenceRepair(value)});
  };
  auto number = [&want](const char* key, int64_t value) {
    want.push_back({key, false, std::to_string(value)});
  };
  if (!report.nic.empty())
    text("nic", report.nic);
  text("protocol", report.ipv6 ? "tcp6" : "tcp");
  text("localAddr", report.ip.empty()
                        ? ":" + std::to_string(report.listen_port)
                        : palvex::FormatAddress(report.ip, report.ipv6, report.listen_port));
  text("mappedAddr", report.mapped_addr);
  number("country", report.country);
  number("province", report.province);
  number("city", report.city);
  number("isp", report.isp);
  if (!report.locate) {
    text("serverAddr", palvex::FormatAddress(report.server_ip, report.ipv6, report.port));
    text("detectAddr", report.detect_addr);
    number("p2pReverse", report.p2p_status);
    number("p2pStatus", report.p2p_status);
    number("timestamp", report.timestamp);
  }
  FUZZ_CHECK(members.size() == want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    FUZZ_CHECK(members[i].key == want[i].key);
    FUZZ_CHECK(members[i].is_string == want[i].is_string);
    FUZZ_CHECK(members[i].value == want[i].value);
  }
  return 0;
}
