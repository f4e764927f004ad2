// The reply as the probe reads it, from any bytes, and as the service writes it: reading never
// fails to leave the address in place of a malformed reply, and what the service writes reads
// back to the very address and codes.
//
// Input: eight bytes of codes (four big-endian 16-bit numbers), then the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_checks.h"
#include "wire/DetectProtocol.h"

using palvex::DetectReply;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8)
    return 0;
  const auto code = [data](int i) {
    return static_cast<uint16_t>((data[2 * i] << 8) | data[2 * i + 1]);
  };
  const std::string text(reinterpret_cast<const char*>(data) + 8, size - 8);

  DetectReply before{"before", 9, 9, 9, 9};
  DetectReply read = before;
  const int result = palvex::ReadDetectReply(text, &read);
  FUZZ_CHECK(result == palvex::kReplyParsed || result == palvex::kReplyUnshaped ||
             result == palvex::kReplyBadCode);
  if (result == palvex::kReplyUnshaped) {
    FUZZ_CHECK(read.mapped_addr == text);
    FUZZ_CHECK(read.country == 9 && read.province == 9 && read.city == 9 && read.isp == 9);
  } else {
    FUZZ_CHECK(read.mapped_addr.find('|') == std::string::npos && !read.mapped_addr.empty());
  }

  // The service's side: any address without a separator, any codes.
  std::string mapped = text.substr(0, text.find('|'));
  if (mapped.empty())
    mapped = "m";
  const DetectReply sent{mapped, code(0), code(1), code(2), code(3)};
  DetectReply back;
  FUZZ_CHECK(palvex::ReadDetectReply(palvex::WriteDetectReply(sent), &back) ==
             palvex::kReplyParsed);
  FUZZ_CHECK(back.mapped_addr == sent.mapped_addr && back.country == sent.country &&
             back.province == sent.province && back.city == sent.city && back.isp == sent.isp);
  return 0;
}
