// The location table: CIDR prefixes of both families, each with four location codes (country,
// province, city, ISP). A lookup gives the codes of the longest prefix that holds the address,
// or 0 0 0 0 when none does. Nested prefixes are flattened at load time into sorted,
// disjoint ranges, so a lookup is one binary search: its cost grows with the logarithm of the
// table size, never with a scan of it.
//
// An immutable value once loaded; lookups may run on any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace palvexd {

struct Location {
  uint16_t country = 0;
  uint16_t province = 0;
  uint16_t city = 0;
  uint16_t isp = 0;
  // A table prefix holds the address (its codes may all be 0): the databases are not asked.
  bool matched = false;
  // The codes; `matched` is the table's own business.
  bool operator==(const Location& o) const {
    return country == o.country && province == o.province && city == o.city && isp == o.isp;
  }
  bool operator!=(const Location& o) const { return !(*this == o); }
};

class LocationTable {
 public:
  using Key6 = unsigned __int128;  // an IPv6 address as one big-endian number

  // Reads lines "CIDR COUNTRY PROVINCE CITY ISP" (white-space separated, both families mixed;
  // '#' starts a comment, blank lines are allowed). Codes are decimal 0..65535; a prefix must
  // have no bits set past its length and may appear only once. On the first bad line returns
  // false with "NAME:LINE: reason" in *error and leaves the table as it was.
  bool Parse(const std::string& text, const std::string& name, std::string* error);
  // Parse of a file's content; an unreadable file gives "PATH: reason".
  bool Load(const std::string& path, std::string* error);

  // `ip` is numeric text of either family; anything else gives 0 0 0 0.
  Location Lookup(const std::string& ip) const;
  Location LookupV4(uint32_t address) const;  // host byte order
  Location LookupV6(const unsigned char address[16]) const;

  // Prefixes read by the last successful Parse.
  size_t prefixes() const { return prefixes_; }

 private:
  // Range i covers [starts[i], starts[i + 1]); starts[0] is 0, so every address has a range.
  std::vector<uint32_t> starts4_{0};
  std::vector<Location> locations4_{Location{}};
  std::vector<Key6> starts6_{0};
  std::vector<Location> locations6_{Location{}};
  size_t prefixes_ = 0;
};

}  // namespace palvexd
