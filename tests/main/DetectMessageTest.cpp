#include "main/DetectMessage.h"

#include <gmock/gmock.h>
#include <sys/stat.h>

#include <ctime>
#include <string>

#include "base/Utils.h"
#include "support/temp_dir.h"

namespace palvex {
namespace {

using namespace std::string_literals;

// ---- frames

TEST(DetectRequestTest, HeaderIsBigEndianVersionAndLengthThenTheIdentity) {
  EXPECT_EQ(BuildDetectRequest("abc", false), "\x00\x01\x00\x00\x00\x03"s + "abc");
  EXPECT_EQ(BuildDetectRequest("abc", true), "\x00\x04\x00\x00\x00\x03"s + "abc");
  EXPECT_EQ(BuildDetectRequest("", false), "\x00\x01\x00\x00\x00\x00"s);

  std::string identity(300, 'i');
  std::string request = BuildDetectRequest(identity, false);
  ASSERT_EQ(request.size(), 306u);
  EXPECT_EQ(request.substr(0, 6), "\x00\x01\x00\x00\x01\x2c"s);
  EXPECT_EQ(request.substr(6), identity);
}

TEST(FrameHeaderTest, ReadsUnsignedBigEndianFields) {
  FrameHeader header;
  ASSERT_TRUE(ReadFrameHeader("\xff\xfe\x80\x00\x00\x01", 6, &header));
  EXPECT_EQ(header.version, 0xfffe);
  EXPECT_EQ(header.length, 0x80000001u);
  EXPECT_EQ(FrameSize(header), 6u + 0x80000001u);
  ASSERT_TRUE(ReadFrameHeader("\x00\x01\xff\xff\xff\xff", 6, &header));
  EXPECT_EQ(FrameSize(header), 0x100000005u);

  std::string request = BuildDetectRequest("abc", true);
  ASSERT_TRUE(ReadFrameHeader(request.data(), request.size(), &header));
  EXPECT_EQ(header.version, kLocateVersion);
  EXPECT_EQ(header.length, 3u);
  EXPECT_EQ(FrameSize(header), request.size());
}

TEST(FrameHeaderTest, FewerThanSixBytesAreNotAHeader) {
  FrameHeader header;
  header.version = 7;
  header.length = 9;
  EXPECT_FALSE(ReadFrameHeader("\x00\x01\x00\x00\x00", 5, &header));
  EXPECT_EQ(header.version, 7);
  EXPECT_EQ(header.length, 9u);
}

// ---- the server's reply

struct ReplyCase {
  std::string reply;
  int result;
  std::string mapped;
  uint16_t country, province, city, isp;
};

// The codes start at 9 so that "unchanged" shows.
class DetectReplyTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(DetectReplyTest, FillsTheAddressAndCodes) {
  const ReplyCase& c = GetParam();
  std::string mapped = "before";
  uint16_t country = 9, province = 9, city = 9, isp = 9;
  EXPECT_EQ(ParseDetectReply(c.reply, mapped, country, province, city, isp), c.result);
  EXPECT_EQ(mapped, c.mapped);
  EXPECT_EQ(country, c.country);
  EXPECT_EQ(province, c.province);
  EXPECT_EQ(city, c.city);
  EXPECT_EQ(isp, c.isp);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, DetectReplyTest,
    testing::Values(ReplyCase{"a|1|2|3|4", kReplyParsed, "a", 1, 2, 3, 4},
                    ReplyCase{"a||1|2|3|4|", kReplyParsed, "a", 1, 2, 3, 4},
                    ReplyCase{"|a|1||2|3|4||", kReplyParsed, "a", 1, 2, 3, 4},
                    ReplyCase{"203.0.113.5:50123|86|44|3|2\r\n", kReplyParsed, "203.0.113.5:50123",
                              86, 44, 3, 2},
                    ReplyCase{"a|1|2|3", kReplyUnshaped, "a|1|2|3", 9, 9, 9, 9},
                    ReplyCase{"a|1|2|3|4|5", kReplyUnshaped, "a|1|2|3|4|5", 9, 9, 9, 9},
                    ReplyCase{"no separator", kReplyUnshaped, "no separator", 9, 9, 9, 9},
                    ReplyCase{"", kReplyUnshaped, "", 9, 9, 9, 9},
                    ReplyCase{"||||", kReplyUnshaped, "||||", 9, 9, 9, 9},
                    ReplyCase{"a|x|2|3|4", kReplyBadCode, "a", 9, 9, 9, 9},
                    ReplyCase{"a|1|y|3|4", kReplyBadCode, "a", 1, 9, 9, 9},
                    ReplyCase{"a|1|2|3|-", kReplyBadCode, "a", 1, 2, 3, 9},
                    ReplyCase{"a|70000|2|3|4", kReplyParsed, "a", 4464, 2, 3, 4},
                    ReplyCase{"a| 7|2|3|4", kReplyParsed, "a", 7, 2, 3, 4},
                    ReplyCase{"a|\t\n\v\f\r 8|2|3|4", kReplyParsed, "a", 8, 2, 3, 4},
                    ReplyCase{"a|12abc|2|3|4", kReplyParsed, "a", 12, 2, 3, 4},
                    ReplyCase{"a|-1|2|3|4", kReplyParsed, "a", 65535, 2, 3, 4},
                    ReplyCase{"a|+5|-65536|-65537|0x10", kReplyParsed, "a", 5, 0, 65535, 0},
                    ReplyCase{"a| -7|2|3|4", kReplyParsed, "a", 65529, 2, 3, 4},
                    // The largest number that fits, and the first that does not.
                    ReplyCase{"a|18446744073709551615|2|3|4", kReplyParsed, "a", 65535, 2, 3, 4},
                    ReplyCase{"a|1|18446744073709551616|3|4", kReplyBadCode, "a", 1, 9, 9, 9},
                    ReplyCase{"a|1|2|-18446744073709551615|4", kReplyParsed, "a", 1, 2, 1, 4},
                    // A sign must be followed by a digit at once.
                    ReplyCase{"a|- 1|2|3|4", kReplyBadCode, "a", 9, 9, 9, 9},
                    ReplyCase{"a|1|2|3|+-4", kReplyBadCode, "a", 1, 2, 3, 9}));

TEST(DetectReplyTest, BytesAfterAZeroStillCountAsText) {
  std::string mapped;
  uint16_t country = 0, province = 0, city = 0, isp = 0;
  std::string reply = "a\0b|1|2|3|4"s;
  EXPECT_EQ(ParseDetectReply(reply, mapped, country, province, city, isp), kReplyParsed);
  EXPECT_EQ(mapped, "a\0b"s);
  EXPECT_EQ(isp, 4);
}

// ---- the result record

DetectReport FullDetection() {
  DetectReport report;
  report.listen_port = 50123;
  report.mapped_addr = "203.0.113.5:50123";
  report.country = 86;
  report.province = 44;
  report.city = 3;
  report.isp = 2;
  report.server_ip = "198.51.100.20";
  report.port = 60002;
  report.detect_addr = "198.51.100.7:4000";
  report.p2p_status = 1;
  report.timestamp = 1700000000;
  return report;
}

TEST(DetectRecordTest, FullDetectionHasEveryMemberInOrder) {
  EXPECT_EQ(BuildDetectRecord(FullDetection()),
            R"({"protocol":"tcp","localAddr":":50123","mappedAddr":"203.0.113.5:50123",)"
            R"("country":86,"province":44,"city":3,"isp":2,"serverAddr":"198.51.100.20:60002",)"
            R"("detectAddr":"198.51.100.7:4000","p2pReverse":1,"p2pStatus":1,)"
            R"("timestamp":1700000000})");
}

TEST(DetectRecordTest, NicComesFirstAndAConfiguredIpPrefixesThePort) {
  DetectReport report = FullDetection();
  report.nic = "eth0";
  report.ip = "192.0.2.10";
  EXPECT_THAT(BuildDetectRecord(report),
              testing::StartsWith(
                  R"({"nic":"eth0","protocol":"tcp","localAddr":"192.0.2.10:50123","mappedAddr")"));
}

TEST(DetectRecordTest, LocateKeepsOnlyTheLocationMembers) {
  DetectReport report = FullDetection();
  report.locate = true;
  EXPECT_EQ(BuildDetectRecord(report),
            R"({"protocol":"tcp","localAddr":":50123","mappedAddr":"203.0.113.5:50123",)"
            R"("country":86,"province":44,"city":3,"isp":2})");
  report.nic = "wlan0";
  EXPECT_EQ(BuildDetectRecord(report),
            R"({"nic":"wlan0","protocol":"tcp","localAddr":":50123",)"
            R"("mappedAddr":"203.0.113.5:50123","country":86,"province":44,"city":3,"isp":2})");
}

TEST(DetectRecordTest, Ipv6AddressesAreBracketedEvenWhenEmpty) {
  DetectReport report;
  report.ipv6 = true;
  report.ip = "2001:db8::2";
  report.listen_port = 51000;
  report.port = 60002;
  report.timestamp = 1;
  EXPECT_EQ(BuildDetectRecord(report),
            R"({"protocol":"tcp6","localAddr":"[2001:db8::2]:51000","mappedAddr":"",)"
            R"("country":0,"province":0,"city":0,"isp":0,"serverAddr":"[]:60002",)"
            R"("detectAddr":"","p2pReverse":-1,"p2pStatus":-1,"timestamp":1})");

  // Without a configured address the local part stays bare.
  report.ip.clear();
  report.server_ip = "2001:db8::9";
  EXPECT_THAT(BuildDetectRecord(report),
              testing::AllOf(testing::HasSubstr(R"("localAddr":":51000")"),
                             testing::HasSubstr(R"("serverAddr":"[2001:db8::9]:60002")")));
}

TEST(DetectRecordTest, TextIsEscapedAndLargeNumbersStayIntegral) {
  DetectReport report = FullDetection();
  report.mapped_addr = "say \"hi\"\n\\";
  report.timestamp = 4102444800;  // past 32 bits
  std::string record = BuildDetectRecord(report);
  EXPECT_THAT(record, testing::HasSubstr(R"("mappedAddr":"say \"hi\"\n\\")"));
  EXPECT_THAT(record, testing::HasSubstr(R"("timestamp":4102444800})"));
  // Text holding a zero byte is escaped by hand, exactly as cJSON escapes any other.
  report.mapped_addr = "\"\b\f\x01\0\n\\"s;
  EXPECT_THAT(BuildDetectRecord(report),
              testing::HasSubstr(R"("mappedAddr":"\"\b\f\u0001\u0000\n\\")"));
}

TEST(DetectRecordTest, AddressTexts) {
  EXPECT_EQ(FormatAddress("2001:db8::1", true, 4000), "[2001:db8::1]:4000");
  EXPECT_EQ(FormatAddress("198.51.100.7", false, 4000), "198.51.100.7:4000");
  EXPECT_EQ(FormatAddress("", true, 65535), "[]:65535");
}

TEST(DetectRecordTest, TimestampIsTheRealTimeClockInSeconds) {
  int64_t before = static_cast<int64_t>(std::time(nullptr));
  int64_t now = RealTimeSeconds();
  int64_t after = static_cast<int64_t>(std::time(nullptr));
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

// ---- the ISP file

class IspFileTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  std::string Content() {
    std::string text;
    EXPECT_TRUE(ReadFile(path_, text, 0));
    return text;
  }

  tovali_test::TempDir dir_;
  std::string path_ = dir_.File("isp");
};

TEST_F(IspFileTest, CodeZeroLeavesTheFileAlone) {
  EXPECT_FALSE(WriteIspFile(0, path_));
  struct stat info;
  EXPECT_NE(stat(path_.c_str(), &info), 0) << "created for code 0";

  ASSERT_TRUE(WriteFile(path_, "5\n", false));
  EXPECT_FALSE(WriteIspFile(0, path_));
  EXPECT_EQ(Content(), "5\n");
}

TEST_F(IspFileTest, NonZeroCodeReplacesTheContent) {
  ASSERT_TRUE(WriteFile(path_, "5 and more text\n", false));
  EXPECT_TRUE(WriteIspFile(2, path_));
  EXPECT_EQ(Content(), "2");
  EXPECT_TRUE(WriteIspFile(65535, path_));
  EXPECT_EQ(Content(), "65535");
}

TEST_F(IspFileTest, UnwritablePathIsReportedNotFatal) {
  EXPECT_FALSE(WriteIspFile(2, dir_.File("no-such-dir/isp")));
}

}  // namespace
}  // namespace palvex
