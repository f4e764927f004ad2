// Location codes from MMDB databases, the format operators' city and ASN databases come in: the
// country's ISO 3166-1 numeric code (from Debian's iso-codes data), and the province, city and
// ISP numbers the operator's map files give the first subdivision's ISO 3166-2 code
// ("CN-BJ 11"), the city's geoname id ("1816670 1101") and the ASN ("4134 2" or "AS4134 2").
// Anything unknown is 0. The databases are memory-mapped; IPv4 addresses are looked up in IPv6
// trees as the library does.
//
// An immutable value once loaded; lookups may run on any number of threads at once.
#pragma once

#include <maxminddb.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "server/LocationTable.h"

namespace palvexd {

struct GeoFiles {
  std::string city_db;  // empty: none
  std::string asn_db;
  std::string province_map;
  std::string city_map;
  std::string isp_map;
  std::string iso_3166;  // iso-codes' JSON list of ISO 3166-1 countries
  bool empty() const { return city_db.empty() && asn_db.empty(); }
};

class GeoDatabases {
 public:
  GeoDatabases() = default;
  ~GeoDatabases();
  GeoDatabases(const GeoDatabases&) = delete;
  GeoDatabases& operator=(const GeoDatabases&) = delete;

  // Opens the databases and reads the maps. On the first problem returns false with
  // "FILE: reason" or "FILE:LINE: reason" in *error.
  bool Load(const GeoFiles& files, std::string* error);

  // `ip` is numeric text of either family; an address in no database gives 0 0 0 0.
  Location Lookup(const std::string& ip) const;

 private:
  MMDB_s city_{};
  MMDB_s asn_{};
  bool city_open_ = false;
  bool asn_open_ = false;
  std::unordered_map<std::string, uint16_t> countries_;  // "CN" -> 156
  std::unordered_map<std::string, uint16_t> provinces_;  // "CN-BJ" -> 11
  std::unordered_map<uint32_t, uint16_t> cities_;        // geoname id
  std::unordered_map<uint32_t, uint16_t> isps_;          // ASN
};

// One map file: "KEY NUMBER" a line, '#' comments, blank lines; the number 0..65535, each key
// once. `key_ok` says whether a key is well-formed (and may rewrite it, e.g. "AS4134" to
// "4134"). Exposed for its tests.
bool ReadMapText(const std::string& text, const std::string& name, bool (*key_ok)(std::string* key),
                 std::unordered_map<std::string, uint16_t>* out, std::string* error);

}  // namespace palvexd
