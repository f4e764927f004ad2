#include "server/DetectRecord.h"

#include <gtest/gtest.h>

#include <string>

namespace palvexd {
namespace {

TEST(DetectRecordTest, IdentityBecomesBoundedValidUtf8) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(SanitizeIdentity("a\xC0\xAF"), "a" + fffd + fffd);
  // Cut at 256 bytes, never inside a character.
  std::string euros;
  for (int i = 0; i < 100; ++i)
    euros += "\xE2\x82\xAC";
  EXPECT_EQ(SanitizeIdentity(euros).size(), 255u);
  EXPECT_EQ(SanitizeIdentity(std::string(300, 'x')).size(), 256u);
  EXPECT_EQ(SanitizeIdentity(std::string(255, 'x') + "\xFF").size(), 255u);

  DetectRecord record;
  record.time = 1733820000;
  record.peer = "[2001:db8::7]:50123";
  record.local = "2001:db8::1";
  record.version = 1;
  record.identity = std::string("q\"\\\n\x01\0", 6);
  record.location = Location{156, 11, 1101, 2};
  record.dialback = DialbackOutcome::kOk;
  record.dialback_ms = 3;
  EXPECT_EQ(BuildRecordLine(record),
            "{\"time\":1733820000,\"peer\":\"[2001:db8::7]:50123\",\"local\":\"2001:db8::1\","
            "\"version\":1,\"identity\":\"q\\\"\\\\\\n\\u0001\\u0000\",\"country\":156,"
            "\"province\":11,\"city\":1101,\"isp\":2,\"dialback\":\"ok\",\"dialbackMs\":3}");
  record.dialback = DialbackOutcome::kRefused;
  EXPECT_EQ(BuildRecordLine(record).find("dialbackMs"), std::string::npos);
}

}  // namespace
}  // namespace palvexd
