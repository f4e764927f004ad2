#include "server/LocationTable.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace palvexd {
namespace {

Location L(uint16_t country = 0, uint16_t province = 0, uint16_t city = 0, uint16_t isp = 0) {
  return Location{country, province, city, isp};
}

TEST(LocationTableTest, LongestPrefixWinsInBothFamilies) {
  LocationTable table;
  std::string error;
  ASSERT_TRUE(
      table.Parse("# operator table\n"
                  "0.0.0.0/0        1 0 0 0\n"
                  "10.0.0.0/8       2 0 0 0   # trailing comment\n"
                  "\t10.1.0.0/16\t3 3 0 0\r\n"
                  "10.1.2.3/32      4 4 4 4\n"
                  "\n"
                  "255.255.255.255/32 5 5 5 5\n"
                  "2001:db8::/32    6 0 0 0\n"
                  "2001:db8:1::/48  7 7 0 0\n"
                  "ffff::/16        8 0 0 65535\n"
                  "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128 9 0 0 0",
                  "t.txt", &error))
      << error;
  EXPECT_EQ(table.prefixes(), 9u);
  EXPECT_EQ(table.Lookup("192.0.2.1"), L(1, 0, 0, 0));
  EXPECT_EQ(table.Lookup("10.200.0.1"), L(2, 0, 0, 0));
  EXPECT_EQ(table.Lookup("10.1.2.2"), L(3, 3, 0, 0));
  EXPECT_EQ(table.Lookup("10.1.2.3"), L(4, 4, 4, 4));
  EXPECT_EQ(table.Lookup("10.1.2.4"), L(3, 3, 0, 0));
  EXPECT_EQ(table.Lookup("10.2.0.0"), L(2, 0, 0, 0));
  EXPECT_EQ(table.Lookup("11.0.0.0"), L(1, 0, 0, 0));
  EXPECT_EQ(table.Lookup("255.255.255.255"), L(5, 5, 5, 5));
  EXPECT_EQ(table.Lookup("255.255.255.254"), L(1, 0, 0, 0));
  EXPECT_EQ(table.Lookup("2001:db8:1:ffff::1"), L(7, 7, 0, 0));
  EXPECT_EQ(table.Lookup("2001:db8:2::1"), L(6, 0, 0, 0));
  EXPECT_EQ(table.Lookup("2001:db9::"), L());
  EXPECT_EQ(table.Lookup("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), L(9, 0, 0, 0));
  EXPECT_EQ(table.Lookup("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe"), L(8, 0, 0, 65535));
  EXPECT_EQ(table.Lookup("::1"), L());
  EXPECT_EQ(table.Lookup("not an address"), L());
}

TEST(LocationTableTest, BadLinesNameFileAndLineAndKeepTheOldTable) {
  LocationTable table;
  std::string error;
  ASSERT_TRUE(table.Parse("192.0.2.0/24 1 2 3 4\n", "old", &error));
  const struct {
    const char* line;
    const char* reason;
  } cases[] = {
      {"192.0.2.0/24 1 2 3", "expected CIDR COUNTRY PROVINCE CITY ISP"},
      {"192.0.2.0/24 1 2 3 4 5", "expected CIDR COUNTRY PROVINCE CITY ISP"},
      {"192.0.2.0 1 2 3 4", "missing prefix length in '192.0.2.0'"},
      {"192.0.2.256/24 1 2 3 4", "bad address '192.0.2.256'"},
      {"example.net/24 1 2 3 4", "bad address 'example.net'"},
      {"192.0.2.0/33 1 2 3 4", "bad prefix length '33'"},
      {"2001:db8::/129 1 2 3 4", "bad prefix length '129'"},
      {"192.0.2.0/-1 1 2 3 4", "bad prefix length '-1'"},
      {"192.0.2.1/24 1 2 3 4", "bits set past the prefix length in '192.0.2.1/24'"},
      {"2001:db8::1/64 1 2 3 4", "bits set past the prefix length in '2001:db8::1/64'"},
      {"192.0.2.0/24 1 2 3 65536", "bad code '65536' (0-65535)"},
      {"192.0.2.0/24 1 -2 3 4", "bad code '-2' (0-65535)"},
      {"192.0.2.0/24 1 2 3x 4", "bad code '3x' (0-65535)"},
  };
  for (const auto& c : cases) {
    std::string text = std::string("# header\n198.51.100.0/24 9 9 9 9\n") + c.line + "\n";
    EXPECT_FALSE(table.Parse(text, "/etc/palvexd/locations", &error)) << c.line;
    EXPECT_EQ(error, std::string("/etc/palvexd/locations:3: ") + c.reason);
  }
  EXPECT_FALSE(
      table.Parse("10.0.0.0/8 1 1 1 1\n10.0.0.0/16 2 2 2 2\n10.0.0.0/8 3 3 3 3\n", "f", &error));
  EXPECT_EQ(error, "f:3: duplicate prefix (also on line 1)");
  EXPECT_EQ(table.Lookup("192.0.2.9"), L(1, 2, 3, 4));
  EXPECT_EQ(table.Lookup("10.0.0.1"), L());
  EXPECT_EQ(table.prefixes(), 1u);
}

// The flattened ranges must answer exactly what a scan of all prefixes answers.
TEST(LocationTableTest, AgreesWithALinearScanOnRandomNestedTables) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 20; ++round) {
    struct Entry {
      uint32_t start;
      int length;
      Location location;
    };
    std::vector<Entry> entries;
    std::string text;
    // Bytes from a small set that holds both ends of every range, so that prefixes nest, share
    // their first or last address, and touch each other a lot.
    auto pick = [&rng] {
      static const uint32_t kBytes[] = {0x00, 0x01, 0x7f, 0x80, 0xfe, 0xff};
      uint32_t address = 0;
      for (int b = 0; b < 4; ++b)
        address = (address << 8) | kBytes[rng() % 6];
      return address;
    };
    for (int i = 0; i < 300; ++i) {
      int length = static_cast<int>(rng() % 33);
      uint32_t address = pick();
      uint32_t mask = length == 0 ? 0 : ~uint32_t{0} << (32 - length);
      uint32_t start = address & mask;
      bool dup = false;
      for (const Entry& e : entries)
        dup = dup || (e.start == start && e.length == length);
      if (dup)
        continue;
      Location location = L(static_cast<uint16_t>(rng() % 3), static_cast<uint16_t>(i), 0, 0);
      entries.push_back({start, length, location});
      in_addr a;
      a.s_addr = htonl(start);
      text += std::string(inet_ntoa(a)) + "/" + std::to_string(length) + " " +
              std::to_string(location.country) + " " + std::to_string(location.province) + " 0 0\n";
    }
    LocationTable table;
    std::string error;
    ASSERT_TRUE(table.Parse(text, "random", &error)) << error;
    for (int probe = 0; probe < 3000; ++probe) {
      uint32_t address = pick();
      if (probe % 2 == 0 && !entries.empty()) {
        // Either end of a prefix, or the address just past it.
        const Entry& e = entries[rng() % entries.size()];
        uint32_t size = e.length == 32 ? 0 : ~uint32_t{0} >> e.length;
        address = e.start + (probe % 4 == 0 ? size : 0) + (probe % 3 == 0 ? 1 : 0);
      }
      int best = -1;
      Location want;
      for (const Entry& e : entries) {
        uint32_t mask = e.length == 0 ? 0 : ~uint32_t{0} << (32 - e.length);
        if ((address & mask) == e.start && e.length > best) {
          best = e.length;
          want = e.location;
        }
      }
      ASSERT_EQ(table.LookupV4(address), want) << "round " << round << " address " << address;
    }
  }
}

}  // namespace
}  // namespace palvexd
