#include "tovali/util/utf8.h"

#include <gmock/gmock.h>

#include <string>
#include <vector>

namespace tovali {
namespace {

using namespace std::string_literals;

const std::string R = "\xef\xbf\xbd";  // U+FFFD

struct Utf8Case {
  std::string in;
  std::string out;
};

TEST(SanitizeUtf8, WellFormedPassesAndEachMaximalSubpartBecomesOneReplacement) {
  const std::vector<Utf8Case> cases = {
      // Well-formed, U+0000 and the edges of every length and range included.
      {""s, ""s},
      {"a\0b\x7f"s, "a\0b\x7f"s},
      {"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"s,
       "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"s},
      {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xf0\x9f\x98\x80"s,
       "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xf0\x9f\x98\x80"s},
      // Bytes that start nothing, one replacement each.
      {"\xff\xfe"s, R + R},
      {"\x80\xbf"s, R + R},
      {"\xf5\x80\x80\x80"s, R + R + R + R},
      // Overlong forms, surrogates, code points above 10FFFF: the lead stands alone.
      {"\xc0\xaf\xc1\xbf"s, R + R + R + R},
      {"\xe0\x80\xaf"s, R + R + R},
      {"\xf0\x8f\xbf\xbf"s, R + R + R + R},
      {"\xed\xa0\x80\xed\xbf\xbf"s, R + R + R + R + R + R},
      {"\xf4\x90\x80\x80"s, R + R + R + R},
      // Cut short: the lead with the bytes that fitted is one subpart.
      {"\xe2\x82"s, R},
      {"\xe2\x82"
       "A\xf0\x9f\x98"s,
       R + "A" + R},
      {"\xf0\x9f\xc3\xa9"s, R + "\xc3\xa9"},
      // Unicode's own example of the practice.
      {"\x61\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64"s,
       "a" + R + R + R + "b" + R + "c" + R + R + "d"},
      // Past the eight-byte ASCII steps, and just before their end.
      {std::string(21, 'x') + "\xff" + std::string(9, 'y'),
       std::string(21, 'x') + R + std::string(9, 'y')},
  };
  for (const Utf8Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(SanitizeUtf8(c.in), c.out);
    EXPECT_EQ(Utf8ValidPrefix(c.in), c.in == c.out ? c.in.size() : c.out.find(R));
    // In place, with exactly the room the result needs.
    std::string buffer = c.in;
    buffer.resize(c.out.size() > c.in.size() ? c.out.size() : c.in.size());
    size_t size = SanitizeUtf8InPlace(buffer.data(), c.in.size(), c.out.size());
    EXPECT_EQ(buffer.substr(0, size), c.out);
  }
}

TEST(SanitizeUtf8, InPlaceWithoutRoomEndsBeforeTheFirstPieceThatDoesNotFit) {
  std::string buffer =
      "ab\xff\xc3\xa9\xff"
      "cd"s;
  const std::string in = buffer;
  const std::string whole = "ab" + R + "\xc3\xa9" + R + "cd";
  buffer.resize(whole.size());
  for (size_t capacity = in.size(); capacity <= whole.size(); ++capacity) {
    std::string copy = buffer;
    size_t size = SanitizeUtf8InPlace(copy.data(), in.size(), capacity);
    EXPECT_LE(size, capacity);
    // The longest prefix of the whole result that ends between two pieces.
    size_t want = 0;
    for (size_t boundary : {5u, 7u, 10u, 11u, 12u})
      want = boundary <= capacity ? boundary : want;
    EXPECT_EQ(copy.substr(0, size), whole.substr(0, want)) << "capacity " << capacity;
  }
}

}  // namespace
}  // namespace tovali
