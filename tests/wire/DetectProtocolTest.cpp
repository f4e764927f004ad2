#include "wire/DetectProtocol.h"

#include <gtest/gtest.h>

#include <string>

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
  DetectReply reply{"before", 9, 9, 9, 9};
  EXPECT_EQ(ReadDetectReply(c.reply, &reply), c.result);
  EXPECT_EQ(reply.mapped_addr, c.mapped);
  EXPECT_EQ(reply.country, c.country);
  EXPECT_EQ(reply.province, c.province);
  EXPECT_EQ(reply.city, c.city);
  EXPECT_EQ(reply.isp, c.isp);
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
  DetectReply reply;
  EXPECT_EQ(ReadDetectReply("a\0b|1|2|3|4"s, &reply), kReplyParsed);
  EXPECT_EQ(reply.mapped_addr, "a\0b"s);
  EXPECT_EQ(reply.isp, 4);
}

TEST(DetectReplyTest, WhatTheServiceWritesTheProbeReadsBack) {
  const DetectReply sent{"[2001:db8::7]:50123", 156, 11, 1101, 65535};
  EXPECT_EQ(WriteDetectReply(sent), "[2001:db8::7]:50123|156|11|1101|65535");
  DetectReply read;
  EXPECT_EQ(ReadDetectReply(WriteDetectReply(sent), &read), kReplyParsed);
  EXPECT_EQ(read.mapped_addr, sent.mapped_addr);
  EXPECT_EQ(read.country, sent.country);
  EXPECT_EQ(read.province, sent.province);
  EXPECT_EQ(read.city, sent.city);
  EXPECT_EQ(read.isp, sent.isp);
}

TEST(DetectProtocolTest, AddressTexts) {
  EXPECT_EQ(FormatAddress("2001:db8::1", true, 4000), "[2001:db8::1]:4000");
  EXPECT_EQ(FormatAddress("198.51.100.7", false, 4000), "198.51.100.7:4000");
  EXPECT_EQ(FormatAddress("", true, 65535), "[]:65535");
}

}  // namespace
}  // namespace palvex
