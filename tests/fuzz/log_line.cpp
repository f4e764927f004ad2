// The log line formatter: whatever the pattern, name and message bytes, every sink receives a
// terminated line of well-formed UTF-8 no longer than the limit; sinks with one pattern receive
// the same line; and a message alone ("%v") comes out as printed, repaired where ill-formed.
//
// Input: a level byte, a width byte (the message is printed after that many spaces, or, with its
// high bit set, after nearly as many as the length limit allows), then the pattern and the name,
// each ended by a line feed, then the message (all remaining bytes; printed with %s, so it ends at
// its first zero byte).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "tovali/log/logger.h"
#include "tovali/log/sinker.h"

using palvex_fuzz::IsUtf8;

namespace {

class CheckingSink : public tovali::Sinker {
 public:
  CheckingSink() : Sinker("") {}

  void Write(int, const char*, const tovali::LogTime*, tovali::LogBuffer* buffer) override {
    FUZZ_CHECK(buffer->length <= tovali::LogBuffer::kMaxLineLength);
    // Zero-terminated, or carrying the line feed of the sink before with the same pattern.
    FUZZ_CHECK(buffer->data[buffer->length] == '\0' || buffer->data[buffer->length] == '\n');
    line.assign(buffer->data, buffer->length);
    FUZZ_CHECK(IsUtf8(line));
    buffer->data[buffer->length] = '\n';  // as the real sinks do
    ++writes;
  }

  std::string line;  // kept across inputs with its capacity: long lines cost no new pages
  int writes = 0;
};

std::string NextField(std::string_view* rest) {
  size_t end = rest->find('\n');
  std::string field(rest->substr(0, end));
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  const int level = static_cast<int8_t>(data[0]);
  // Mostly short; with the high bit set, within a few hundred bytes of the limit.
  const int width = data[1] < 0x80 ? data[1] : 65533 - 4 * (data[1] & 0x7f);
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::string pattern = NextField(&rest);
  const std::string name = NextField(&rest);
  const std::string message(rest);

  static const auto first = std::make_shared<CheckingSink>();
  static const auto same = std::make_shared<CheckingSink>();
  static const auto plain = std::make_shared<CheckingSink>();
  static std::string printed;
  static std::string repaired;
  first->SetPattern(pattern);
  same->SetPattern(pattern);
  plain->SetPattern("%v");
  first->writes = same->writes = plain->writes = 0;
  tovali::SetLogSinkers({first, same, plain});
  tovali::g_logger->Log(level, name.c_str(), "log_line", static_cast<int>(size), "%*s%s", width, "",
                        message.c_str());
  tovali::SetLogSinkers({});

  FUZZ_CHECK(first->writes == 1 && same->writes == 1 && plain->writes == 1);
  FUZZ_CHECK(first->line == same->line);

  printed.assign(static_cast<size_t>(width), ' ').append(message.c_str());
  repaired.clear();
  palvex_fuzz::Repair(printed, &repaired);
  const size_t limit = tovali::LogBuffer::kMaxLineLength - 1;  // the message's room, less one
  if (printed.size() <= limit && repaired.size() <= limit) {
    FUZZ_CHECK(plain->line == repaired);
  } else if (IsUtf8(printed)) {
    // Cut, and never through a character: at most the 3 bytes of a cut character are dropped.
    FUZZ_CHECK(printed.compare(0, plain->line.size(), plain->line) == 0);
    FUZZ_CHECK(plain->line.size() + 3 >= limit);
  }
  return 0;
}
