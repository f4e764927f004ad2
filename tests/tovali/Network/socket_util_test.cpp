#include "tovali/Network/socket_util.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace tovali {
namespace {

struct ClassCase {
  const char* text;
  bool expected;
};

void ExpectAll(bool (*test)(const std::string&), const char* name,
               const std::vector<ClassCase>& cases) {
  for (const ClassCase& c : cases)
    EXPECT_EQ(test(c.text), c.expected) << name << "(\"" << c.text << "\")";
}

TEST(SocketUtilClassTest, ReservedIPv4CoversExactlyItsRanges) {
  ExpectAll(IsReservedIPv4, "IsReservedIPv4",
            {
                {"0.0.0.0", true},         {"0.255.255.255", true},    {"1.0.0.0", false},
                {"9.255.255.255", false},  {"10.0.0.0", true},         {"10.255.255.255", true},
                {"11.0.0.0", false},       {"100.63.255.255", false},  {"100.64.0.0", true},
                {"100.64.0.1", true},      {"100.127.255.255", true},  {"100.128.0.0", false},
                {"100.128.0.1", false},    {"126.255.255.255", false}, {"127.0.0.0", true},
                {"127.255.255.255", true}, {"128.0.0.0", false},       {"169.253.255.255", false},
                {"169.254.0.0", true},     {"169.254.255.255", true},  {"169.255.0.0", false},
                {"172.15.255.255", false}, {"172.16.0.0", true},       {"172.31.255.255", true},
                {"172.32.0.0", false},     {"191.255.255.255", false}, {"192.0.0.0", true},
                {"192.0.0.255", true},     {"192.0.1.0", false},       {"192.0.1.1", false},
                {"192.0.2.0", true},       {"192.0.2.255", true},      {"192.0.3.0", false},
                {"192.88.98.255", false},  {"192.88.99.0", true},      {"192.88.99.255", true},
                {"192.88.100.0", false},   {"192.167.255.255", false}, {"192.168.0.0", true},
                {"192.168.255.255", true}, {"192.169.0.0", false},     {"198.17.255.255", false},
                {"198.18.0.0", true},      {"198.19.255.255", true},   {"198.20.0.0", false},
                {"198.51.99.255", false},  {"198.51.100.0", true},     {"198.51.100.255", true},
                {"198.51.101.0", false},   {"203.0.112.255", false},   {"203.0.113.0", true},
                {"203.0.113.255", true},   {"203.0.114.0", false},     {"223.255.255.255", false},
                {"224.0.0.0", true},       {"240.0.0.1", true},        {"255.255.255.255", true},
                {"8.8.8.8", false},        {"1.1.1.1", false},
            });
}

TEST(SocketUtilClassTest, PrivateIPv4IsTheThreePrivateRangesOnly) {
  ExpectAll(IsPrivateIPv4, "IsPrivateIPv4",
            {
                {"9.255.255.255", false},
                {"10.0.0.0", true},
                {"10.255.255.255", true},
                {"11.0.0.0", false},
                {"172.15.255.255", false},
                {"172.16.0.0", true},
                {"172.31.255.255", true},
                {"172.32.0.0", false},
                {"172.32.0.1", false},
                {"192.167.255.255", false},
                {"192.168.0.0", true},
                {"192.168.255.255", true},
                {"192.169.0.0", false},
                {"100.64.0.1", false},
                {"127.0.0.1", false},
                {"0.0.0.0", false},
            });
}

TEST(SocketUtilClassTest, ReservedIPv6CoversExactlyItsRanges) {
  ExpectAll(IsReservedIPv6, "IsReservedIPv6",
            {
                {"::", true},
                {"::1", true},
                {"::2", false},
                {"::8.8.8.8", false},  // the old IPv4-compatible form
                {"::ffff:0.0.0.0", true},
                {"::ffff:8.8.8.8", true},
                {"::ffff:255.255.255.255", true},
                {"::fffe:ffff:ffff", false},
                {"::1:0:0:0", false},
                {"::ffff:0:0:0", true},
                {"::ffff:0:ffff:ffff", true},
                {"::ffff:1:0:0", false},
                {"64:ff9a:ffff:ffff:ffff:ffff:ffff:ffff", false},
                {"64:ff9b::", true},
                {"64:ff9b::8.8.8.8", true},
                {"64:ff9b::ffff:ffff", true},
                {"64:ff9b::1:0:0", false},
                {"64:ff9b:0:0:1::", false},
                {"ff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
                {"100::", true},
                {"100::1", true},
                {"100::ffff:ffff:ffff:ffff", true},
                {"100:0:0:1::", false},
                {"2000:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
                {"2001::", true},
                {"2001::1", true},
                {"2001:0:ffff:ffff:ffff:ffff:ffff:ffff", true},
                {"2001:1::", false},
                {"2001:1f:ffff:ffff:ffff:ffff:ffff:ffff", false},
                {"2001:20::", true},
                {"2001:2f::1", true},
                {"2001:2f:ffff:ffff:ffff:ffff:ffff:ffff", true},
                {"2001:30::", false},
                {"2001:4860::1", false},
                {"2001:db7:ffff:ffff:ffff:ffff:ffff:ffff", false},
                {"2001:db8::", true},
                {"2001:db8::1", true},
                {"2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", true},
                {"2001:db9::", false},
                {"2001:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
                {"2002::", true},
                {"2002:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
                {"2003::", false},
                {"2400:cb00::1", false},
                {"fbff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
                {"fc00::", true},
                {"fd00::1", true},
                {"fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
                {"fe00::", false},
                {"fe7f:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
                {"fe80::", true},
                {"fe80::1", true},
                {"febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
                {"fec0::", false},
                {"feff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
                {"ff00::", true},
                {"ff02::1", true},
                {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
            });
}

TEST(SocketUtilClassTest, PrivateIPv6IsUniqueLocalOnly) {
  ExpectAll(IsPrivateIPv6, "IsPrivateIPv6",
            {
                {"fbff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
                {"fc00::", true},
                {"fd00::1", true},
                {"fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
                {"fe00::", false},
                {"fe80::1", false},
                {"::1", false},
                {"2001:db8::1", false},
            });
}

TEST(SocketUtilClassTest, TextThatIsNotAnAddressOfTheFamilyIsNeverPrivateOrReserved) {
  const std::vector<std::string> v4_only = {"10.0.0.1", "127.0.0.1", "0.0.0.0"};
  const std::vector<std::string> v6_only = {"::1", "fd00::1", "::ffff:10.0.0.1"};
  const std::vector<std::string> neither = {"",          "localhost", "10.0.0.1.example",
                                            "10.0.0",    "[::1]",     "fe80::1%lo",
                                            " 10.0.0.1", "10.0.0.1/8"};
  for (const std::string& text : neither) {
    EXPECT_FALSE(IsPrivateIPv4(text)) << text;
    EXPECT_FALSE(IsReservedIPv4(text)) << text;
    EXPECT_FALSE(IsPrivateIPv6(text)) << text;
    EXPECT_FALSE(IsReservedIPv6(text)) << text;
    EXPECT_FALSE(IsIPv4(text)) << text;
    EXPECT_FALSE(IsIPv6(text)) << text;
  }
  for (const std::string& text : v4_only) {
    EXPECT_FALSE(IsPrivateIPv6(text)) << text;
    EXPECT_FALSE(IsReservedIPv6(text)) << text;
  }
  for (const std::string& text : v6_only) {
    EXPECT_FALSE(IsPrivateIPv4(text)) << text;
    EXPECT_FALSE(IsReservedIPv4(text)) << text;
  }
}

// ---- conversions

TEST(SocketUtilConvertTest, IPv4TextAndPortRoundTrip) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  ASSERT_TRUE(ToSockAddrV4("192.0.2.1", 65535, &addr));
  EXPECT_EQ(addr.sin_family, AF_INET);
  EXPECT_EQ(addr.sin_port, htons(65535));
  EXPECT_EQ(SockAddrToText(reinterpret_cast<sockaddr*>(&addr)), "192.0.2.1");
  EXPECT_EQ(SockAddrPort(reinterpret_cast<sockaddr*>(&addr)), 65535);
}

TEST(SocketUtilConvertTest, EmptyTextIsTheAnyAddress) {
  sockaddr_in v4;
  std::memset(&v4, 0xaa, sizeof(v4));
  ASSERT_TRUE(ToSockAddrV4("", 80, &v4));
  EXPECT_EQ(v4.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(SockAddrToText(reinterpret_cast<sockaddr*>(&v4)), "0.0.0.0");

  sockaddr_in6 v6;
  std::memset(&v6, 0, sizeof(v6));
  ASSERT_TRUE(ToSockAddrV6("", 80, &v6));
  EXPECT_EQ(SockAddrToText(reinterpret_cast<sockaddr*>(&v6)), "::");
  EXPECT_EQ(SockAddrPort(reinterpret_cast<sockaddr*>(&v6)), 80);
}

TEST(SocketUtilConvertTest, IPv6ConversionWritesOnlyFamilyPortAndAddress) {
  sockaddr_in6 addr;
  std::memset(&addr, 0x5a, sizeof(addr));
  ASSERT_TRUE(ToSockAddrV6("::ffff:1.2.3.4", 443, &addr));
  EXPECT_EQ(addr.sin6_family, AF_INET6);
  EXPECT_EQ(addr.sin6_port, htons(443));
  EXPECT_EQ(addr.sin6_flowinfo, 0x5a5a5a5au);
  EXPECT_EQ(addr.sin6_scope_id, 0x5a5a5a5au);
  EXPECT_EQ(SockAddrToText(reinterpret_cast<sockaddr*>(&addr)), "::ffff:1.2.3.4");
}

TEST(SocketUtilConvertTest, TextOfTheOtherFamilyOrANameDoesNotConvert) {
  sockaddr_in v4;
  std::memset(&v4, 0, sizeof(v4));
  EXPECT_FALSE(ToSockAddrV4("::1", 1, &v4));
  EXPECT_FALSE(ToSockAddrV4("localhost", 1, &v4));
  EXPECT_EQ(v4.sin_family, AF_INET);
  sockaddr_in6 v6;
  std::memset(&v6, 0, sizeof(v6));
  EXPECT_FALSE(ToSockAddrV6("127.0.0.1", 1, &v6));
  EXPECT_FALSE(ToSockAddrV6("localhost", 1, &v6));
}

TEST(SocketUtilConvertTest, AnyFamilyButIPv4ReadsAsIPv6) {
  sockaddr_in6 addr;
  std::memset(&addr, 0, sizeof(addr));
  ASSERT_TRUE(ToSockAddrV6("2001:db8::5", 7, &addr));
  addr.sin6_family = AF_UNSPEC;
  EXPECT_EQ(SockAddrToText(reinterpret_cast<sockaddr*>(&addr)), "2001:db8::5");
  EXPECT_EQ(SockAddrPort(reinterpret_cast<sockaddr*>(&addr)), 7);
}

// ---- socket options

int IntOption(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof(value);
  EXPECT_EQ(getsockopt(fd, level, name, &value, &len), 0);
  return value;
}

class SocketOptionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(fd_ = socket(AF_INET, SOCK_STREAM, 0), 0); }
  void TearDown() override { close(fd_); }
  int fd_ = -1;
};

TEST_F(SocketOptionTest, SwitchesReachTheSocket) {
  ASSERT_EQ(SetNoDelay(fd_, true), 0);
  EXPECT_EQ(IntOption(fd_, IPPROTO_TCP, TCP_NODELAY), 1);
  ASSERT_EQ(SetNoDelay(fd_, false), 0);
  EXPECT_EQ(IntOption(fd_, IPPROTO_TCP, TCP_NODELAY), 0);
  ASSERT_EQ(SetReuseAddr(fd_, true), 0);
  EXPECT_EQ(IntOption(fd_, SOL_SOCKET, SO_REUSEADDR), 1);
  ASSERT_EQ(SetReusePort(fd_, true), 0);
  EXPECT_EQ(IntOption(fd_, SOL_SOCKET, SO_REUSEPORT), 1);
  ASSERT_EQ(SetReusePort(fd_, false), 0);
  EXPECT_EQ(IntOption(fd_, SOL_SOCKET, SO_REUSEPORT), 0);
}

TEST_F(SocketOptionTest, KeepAliveTimesAreWholeSeconds) {
  ASSERT_EQ(SetKeepAlive(fd_, true, 60999, 30000, 5), 0);
  EXPECT_EQ(IntOption(fd_, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(fd_, IPPROTO_TCP, TCP_KEEPIDLE), 60);
  EXPECT_EQ(IntOption(fd_, IPPROTO_TCP, TCP_KEEPINTVL), 30);
  EXPECT_EQ(IntOption(fd_, IPPROTO_TCP, TCP_KEEPCNT), 5);
}

TEST_F(SocketOptionTest, KeepAliveStopsAtTheFirstFailure) {
  const int interval_before = IntOption(fd_, IPPROTO_TCP, TCP_KEEPINTVL);
  // 999 ms is 0 s, which the kernel refuses as an idle time.
  EXPECT_EQ(SetKeepAlive(fd_, true, 999, 7000, 3), -1);
  EXPECT_EQ(LastError(), EINVAL);
  EXPECT_EQ(IntOption(fd_, IPPROTO_TCP, TCP_KEEPINTVL), interval_before);
  EXPECT_EQ(SetKeepAlive(-1, true, 60000, 30000, 5), -1);
  EXPECT_EQ(LastError(), EBADF);
}

TEST_F(SocketOptionTest, SendBufferSize) {
  ASSERT_EQ(SetSendBufferSize(fd_, 32768), 0);
  int bytes = 0;
  ASSERT_EQ(GetSendBufferSize(fd_, &bytes), 0);
  EXPECT_GE(bytes, 32768);
  EXPECT_EQ(GetSendBufferSize(-1, &bytes), -1);
  EXPECT_EQ(LastError(), EBADF);
}

TEST_F(SocketOptionTest, EmptyInterfaceNameSetsNothing) {
  EXPECT_EQ(BindToDevice(-1, nullptr), 0);
  EXPECT_EQ(BindToDevice(-1, ""), 0);
  EXPECT_EQ(BindToDevice(fd_, "nosuchnic0"), -1);
  EXPECT_NE(LastError(), 0);
}

TEST(SocketUtilSendTest, SendFlagsTurnAResetPeerIntoEpipe) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  close(pair[1]);
  EXPECT_EQ(send(pair[0], "x", 1, SendFlags()), -1);
  EXPECT_EQ(LastError(), EPIPE);
  close(pair[0]);
}

// Numeric hosts resolve without any name service.
TEST(SocketUtilLookupTest, NumericHostsComeBackAsThemselves) {
  EXPECT_THAT(LookupAddresses("127.0.0.1", true), ::testing::ElementsAre("127.0.0.1"));
  EXPECT_THAT(LookupAddresses("::1", false), ::testing::ElementsAre("::1"));
  auto both = LookupAllAddresses("::1");
  EXPECT_TRUE(both.first.empty());
  EXPECT_THAT(both.second, ::testing::ElementsAre("::1"));
  both = LookupAllAddresses("192.0.2.9");
  EXPECT_THAT(both.first, ::testing::ElementsAre("192.0.2.9"));
  EXPECT_TRUE(both.second.empty());
}

}  // namespace
}  // namespace tovali
