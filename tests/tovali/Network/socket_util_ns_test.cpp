// Runs in fresh network and mount namespaces (see tests/tools/netns-run): the test may replace
// /etc/hosts and /etc/resolv.conf by bind mounts and rename the loopback interface.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tovali/Network/socket_util.h"

namespace tovali {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

bool WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr)
    return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

// Points /etc/hosts at our own file, and the name service at a loopback port where nothing
// answers, so that no real name server is ever asked.
class HostsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteText("/tmp/hosts",
                          "127.0.0.1 localhost\n"
                          "192.0.2.7 dup.test\n"
                          "192.0.2.8 dup.test\n"
                          "192.0.2.7 dup.test\n"
                          "2001:db8::7 dup.test\n"
                          "2001:db8::7 dup.test\n"
                          "192.0.2.9 v4only.test\n"));
    ASSERT_TRUE(
        WriteText("/tmp/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"));
    ASSERT_EQ(mount("/tmp/hosts", "/etc/hosts", nullptr, MS_BIND, nullptr), 0)
        << std::strerror(errno);
    ASSERT_EQ(mount("/tmp/resolv.conf", "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0)
        << std::strerror(errno);
  }
};

TEST_F(HostsFileTest, RepeatedAddressesComeOnce) {
  EXPECT_THAT(LookupAddresses("dup.test", true), UnorderedElementsAre("192.0.2.7", "192.0.2.8"));
  EXPECT_THAT(LookupAddresses("dup.test", false), ElementsAre("2001:db8::7"));
}

TEST_F(HostsFileTest, AllAddressesAreSplitByFamily) {
  auto both = LookupAllAddresses("dup.test");
  EXPECT_THAT(both.first, UnorderedElementsAre("192.0.2.7", "192.0.2.8"));
  EXPECT_THAT(both.second, ElementsAre("2001:db8::7"));
  both = LookupAllAddresses("v4only.test");
  EXPECT_THAT(both.first, ElementsAre("192.0.2.9"));
  EXPECT_TRUE(both.second.empty());
}

TEST_F(HostsFileTest, UnknownNamesAndMissingFamiliesGiveEmptyLists) {
  EXPECT_TRUE(LookupAddresses("absent.test", true).empty());
  EXPECT_TRUE(LookupAddresses("v4only.test", false).empty());
  auto both = LookupAllAddresses("absent.test");
  EXPECT_TRUE(both.first.empty());
  EXPECT_TRUE(both.second.empty());
}

// The kernel reads at most 15 name bytes; a longer name is cut, never overrun.
TEST(BindToDeviceNsTest, LongNamesAreCut) {
  const char kName[] = "loopbackdevice1";  // 15 bytes, the longest name an interface can have
  int ctl = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(ctl, 0);
  ifreq ifr;
  std::memset(&ifr, 0, sizeof(ifr));
  std::strcpy(ifr.ifr_name, "lo");
  ASSERT_EQ(ioctl(ctl, SIOCGIFFLAGS, &ifr), 0);
  short flags = ifr.ifr_flags;
  ifr.ifr_flags = static_cast<short>(flags & ~IFF_UP);
  ASSERT_EQ(ioctl(ctl, SIOCSIFFLAGS, &ifr), 0);
  std::strcpy(ifr.ifr_newname, kName);
  int renamed = ioctl(ctl, SIOCSIFNAME, &ifr);
  if (renamed != 0 && errno == ENOSYS) {  // qemu-user does not emulate the rename
    close(ctl);
    GTEST_SKIP() << "interfaces cannot be renamed here";
  }
  ASSERT_EQ(renamed, 0) << std::strerror(errno);
  std::memset(&ifr, 0, sizeof(ifr));
  std::strcpy(ifr.ifr_name, kName);
  ifr.ifr_flags = flags;
  ASSERT_EQ(ioctl(ctl, SIOCSIFFLAGS, &ifr), 0);
  close(ctl);

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(BindToDevice(fd, "loopbackdevice1-and-more"), 0) << std::strerror(errno);
  char bound[IFNAMSIZ] = {0};
  socklen_t len = sizeof(bound);
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, bound, &len), 0);
  EXPECT_STREQ(bound, kName);
  close(fd);

  fd = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(BindToDevice(fd, "loopbackdeviceX-and-more"), -1);
  EXPECT_EQ(LastError(), ENODEV);
  close(fd);
}

}  // namespace
}  // namespace tovali
