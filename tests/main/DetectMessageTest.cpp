#include "main/DetectMessage.h"

#include <gmock/gmock.h>
#include <sys/stat.h>

#include <ctime>
#include <string>

#include "base/Utils.h"
#include "support/temp_dir.h"
#include "tovali/util/clock.h"

namespace palvex {
namespace {

using namespace std::string_literals;

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

TEST(DetectRecordTest, TimestampIsTheRealTimeClockInSeconds) {
  int64_t before = static_cast<int64_t>(std::time(nullptr));
  int64_t now = tovali::RealTimeSeconds();
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
