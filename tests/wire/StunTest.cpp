#include "wire/Stun.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace palvex {
namespace stun {
namespace {

Address V4(const char* ip, uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  inet_pton(AF_INET, ip, &in.sin_addr);
  return FromSockAddr(reinterpret_cast<const sockaddr*>(&in));
}

int ParseText(const std::string& bytes, Message* m) {
  return Parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), m);
}

// `message` (without FINGERPRINT) with raw attribute bytes appended and its length mended.
std::string WithAttributes(std::string message, const std::string& attributes) {
  message += attributes;
  message[2] = static_cast<char>((message.size() - kHeaderSize) >> 8);
  message[3] = static_cast<char>(message.size() - kHeaderSize);
  return message;
}

TEST(StunTest, RequestsAndResponsesOfBothGenerationsReadBack) {
  std::array<uint8_t, 16> id = {0x21, 0x12, 0xA4, 0x42, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  Message request;
  ASSERT_EQ(ParseText(BuildRequest(id, kChangeIp | kChangePort, true), &request), kParsed);
  EXPECT_FALSE(request.classic);
  EXPECT_TRUE(request.has_fingerprint);
  EXPECT_EQ(request.change_flags, kChangeIp | kChangePort);
  EXPECT_EQ(request.transaction, id);

  const Address device = V4("203.0.113.7", 50123);
  const Address origin = V4("198.51.100.22", 3479);
  const Address other = V4("198.51.100.22", 3479);
  Message response;
  ASSERT_EQ(ParseText(BuildSuccess(request, device, origin, other), &response), kParsed);
  EXPECT_EQ(response.type, kBindingSuccess);
  EXPECT_TRUE(response.has_fingerprint);
  EXPECT_EQ(ToText(response.mapped), "203.0.113.7:50123");  // XOR-MAPPED-ADDRESS
  EXPECT_EQ(response.response_origin, origin);
  EXPECT_EQ(response.other_address, other);

  // RFC 3489: no cookie, the whole 16 bytes are the id; the answer is classic too.
  std::string classic = BuildRequest(id, 0, false);
  classic[4] = 0x55;
  ASSERT_EQ(ParseText(classic, &request), kParsed);
  EXPECT_TRUE(request.classic);
  ASSERT_EQ(ParseText(BuildSuccess(request, device, origin, other), &response), kParsed);
  EXPECT_TRUE(response.classic);
  EXPECT_EQ(ToText(response.mapped), "203.0.113.7:50123");  // MAPPED-ADDRESS
  EXPECT_EQ(response.other_address, other);                 // CHANGED-ADDRESS

  ASSERT_EQ(ParseText(BuildError(request, 420, {0x0003, 0x7777}), &response), kParsed);
  EXPECT_EQ(response.error_code, 420);
}

// PADDING is answered, never with a response larger than the request.
TEST(StunTest, PaddingIsAnsweredWithinTheRequestsSize) {
  std::array<uint8_t, 16> id = {0x21, 0x12, 0xA4, 0x42, 3};
  const Address device = V4("203.0.113.7", 50123);
  const Address origin = V4("198.51.100.22", 3478);
  // {request's PADDING, the response's}: a 68-byte answer has no room next to a short request.
  for (auto [pad, answered] : {std::pair<size_t, size_t>{4, 0}, {40, 0}, {60, 12}, {400, 352}}) {
    const std::string bytes = WithAttributes(
        BuildRequest(id, 0, false), std::string("\x00\x26", 2) + static_cast<char>(pad >> 8) +
                                        static_cast<char>(pad) + std::string(pad, 'p'));
    Message request;
    ASSERT_EQ(ParseText(bytes, &request), kParsed);
    const std::string answer = BuildSuccess(request, device, origin, origin);
    Message response;
    ASSERT_EQ(ParseText(answer, &response), kParsed);
    EXPECT_EQ(response.padding, answered) << pad;
    if (answered != 0) {
      EXPECT_EQ(answer.size(), bytes.size()) << pad;
    }
  }
}

TEST(StunTest, RefusesWhatIsNotAWellFormedMessage) {
  std::array<uint8_t, 16> id = {0x21, 0x12, 0xA4, 0x42, 9};
  const std::string good = BuildRequest(id, 0, true);
  Message m;
  std::string bad_crc = good;
  bad_crc.back() ^= 1;
  EXPECT_EQ(ParseText(bad_crc, &m), kBadFingerprint);
  EXPECT_EQ(ParseText(good.substr(0, 19), &m), kNotStun);
  std::string odd_length = good;
  odd_length[3] = 7;
  EXPECT_EQ(ParseText(odd_length, &m), kNotStun);
  std::string leading_bits = good;
  leading_bits[0] = static_cast<char>(0x80);
  EXPECT_EQ(ParseText(leading_bits, &m), kNotStun);
  // An attribute whose length runs past the message.
  std::string overrun = BuildRequest(id, kChangePort, false);
  overrun[22 + 1] = 40;
  EXPECT_EQ(ParseText(overrun, &m), kNotStun);
  // A comprehension-required attribute we do not know is reported, an optional one ignored.
  const std::string unknown =
      WithAttributes(BuildRequest(id, 0, false),
                     std::string("\x00\x27\x00\x04\x00\x00\x00\x01\x80\x99\x00\x00", 12));
  ASSERT_EQ(ParseText(unknown, &m), kParsed);
  EXPECT_EQ(m.unknown_required, std::vector<uint16_t>{0x0027});
}

}  // namespace
}  // namespace stun
}  // namespace palvex
