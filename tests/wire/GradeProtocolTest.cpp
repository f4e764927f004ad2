#include "wire/GradeProtocol.h"

#include <gtest/gtest.h>

#include <string>

namespace palvex {
namespace {

// The payload of a whole frame, checking its header on the way.
std::string PayloadOf(const std::string& frame) {
  FrameHeader header;
  EXPECT_TRUE(ReadFrameHeader(frame.data(), frame.size(), &header));
  EXPECT_EQ(header.version, kGradeVersion);
  EXPECT_EQ(FrameSize(header), frame.size());
  return frame.substr(kFrameHeaderSize);
}

TEST(GradeProtocolTest, EveryMessageReadsBackAsBuilt) {
  const std::string nonce = MakeNonce();
  ASSERT_TRUE(IsNonce(nonce));
  EXPECT_NE(nonce, MakeNonce());

  GradeRequest request{nonce, true, "10.0.0.2:50123", "dev\nice=x\nkind=reply"};
  GradeRequest read;
  ASSERT_TRUE(ReadGradeRequest(PayloadOf(BuildGradeRequest(request)), &read));
  EXPECT_EQ(read.nonce, nonce);
  EXPECT_TRUE(read.mapping_only);
  EXPECT_EQ(read.local, request.local);
  EXPECT_EQ(read.identity, request.identity);  // the last field takes the rest, line feeds too

  GradeMessage reply;
  reply.nonce = nonce;
  reply.reply = DetectReply{"[3fff::7]:50123", 156, 11, 1101, 65535};
  reply.other_address = "3fff::22";
  reply.other_port = 60003;
  reply.tests_other_port = true;
  GradeMessage back;
  ASSERT_TRUE(ReadGradeMessage(PayloadOf(BuildGradeMessage(reply)), &back));
  EXPECT_EQ(back.kind, GradeMessage::kReply);
  EXPECT_EQ(back.reply.mapped_addr, "[3fff::7]:50123");
  EXPECT_EQ(back.reply.isp, 65535);
  EXPECT_EQ(back.other_address, "3fff::22");
  EXPECT_EQ(back.other_port, 60003);
  EXPECT_FALSE(back.tests_other_address);
  EXPECT_TRUE(back.tests_other_port);

  for (auto kind : {GradeMessage::kFailed, GradeMessage::kDialback}) {
    GradeMessage m;
    m.kind = kind;
    m.nonce = nonce;
    m.test = kTestOtherAddress;
    m.outcome = "refused";
    m.server = "palvexd";
    ASSERT_TRUE(ReadGradeMessage(PayloadOf(BuildGradeMessage(m)), &back));
    EXPECT_EQ(back.kind, kind);
    EXPECT_EQ(back.test, kTestOtherAddress);
    EXPECT_EQ(kind == GradeMessage::kFailed ? back.outcome : back.server,
              kind == GradeMessage::kFailed ? "refused" : "palvexd");
  }
}

TEST(GradeProtocolTest, RefusesWhatIsNotAMessageAndIgnoresUnknownFields) {
  const std::string n = "nonce=0123456789abcdef";
  GradeRequest request;
  EXPECT_TRUE(ReadGradeRequest(n + "\nfuture=1\ntest=grade", &request));
  EXPECT_FALSE(request.mapping_only);
  EXPECT_EQ(request.identity, "");
  for (const std::string& bad : {
           std::string("test=grade"),                         // no nonce
           std::string("nonce=0123456789abcde\ntest=grade"),  // 60 bits
           std::string("nonce=0123456789abcdeg\ntest=grade"),
           n + "\ntest=locate",
           n + "\n" + n + "\ntest=grade",  // a field twice
           n + "\nTest=grade",
           n + "\ntest",
           n + std::string(40, '\n') + "test=grade",
       }) {
    EXPECT_FALSE(ReadGradeRequest(bad, &request)) << bad;
  }

  GradeMessage m;
  EXPECT_TRUE(ReadGradeMessage("kind=reply\n" + n + "\nmapped=1.2.3.4:5\nextra=x", &m));
  EXPECT_EQ(m.reply.country, 0);
  for (const std::string& bad : {
           "kind=reply\n" + n,  // no mapped endpoint
           "kind=reply\n" + n + "\nmapped=x\ncountry=65536",
           "kind=reply\n" + n + "\nmapped=x\nisp=-1",
           "kind=reply\n" + n + "\nmapped=x\nother-port=0",
           "kind=failed\n" + n + "\ntest=other-host",
           "kind=hello\n" + n,
           std::string("kind=dialback\ntest=other-port"),
       }) {
    EXPECT_FALSE(ReadGradeMessage(bad, &m)) << bad;
  }
}

}  // namespace
}  // namespace palvex
