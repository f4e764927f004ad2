#include "server/GeoDatabases.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/Utils.h"

namespace palvexd {
namespace {

// Map and code files are small; this only guards against pointing an option at something absurd.
constexpr size_t kMaxMapFileSize = size_t{64} << 20;

bool ReadWhole(const std::string& path, std::string* text, std::string* error) {
  errno = 0;
  if (!palvex::ReadFile(path, *text, kMaxMapFileSize)) {
    *error = path + ": cannot read: " + (errno != 0 ? std::strerror(errno) : "too large");
    return false;
  }
  return true;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < line.size()) {
    size_t start = line.find_first_not_of(" \t\r\v\f", pos);
    if (start == std::string::npos)
      break;
    size_t end = line.find_first_of(" \t\r\v\f", start);
    if (end == std::string::npos)
      end = line.size();
    out.push_back(line.substr(start, end - start));
    pos = end;
  }
  return out;
}

bool IsDigits(const std::string& s) {
  if (s.empty() || s.size() > 10)
    return false;
  for (char c : s) {
    if (c < '0' || c > '9')
      return false;
  }
  return std::strtoull(s.c_str(), nullptr, 10) <= UINT32_MAX;
}

bool ProvinceKey(std::string* key) {
  const std::string& k = *key;
  if (k.size() < 4 || k.size() > 6 || k[2] != '-')
    return false;
  for (size_t i = 0; i < k.size(); ++i) {
    const char c = k[i];
    const bool upper = c >= 'A' && c <= 'Z';
    const bool digit = c >= '0' && c <= '9';
    if (i != 2 && !(upper || (i > 2 && digit)))
      return false;
  }
  return true;
}

bool CityKey(std::string* key) {
  return IsDigits(*key);
}

bool IspKey(std::string* key) {
  if (key->size() > 2 && (key->compare(0, 2, "AS") == 0 || key->compare(0, 2, "as") == 0))
    key->erase(0, 2);
  return IsDigits(*key);
}

bool ReadMapFile(const std::string& path, bool (*key_ok)(std::string*),
                 std::unordered_map<std::string, uint16_t>* out, std::string* error) {
  std::string text;
  return ReadWhole(path, &text, error) && ReadMapText(text, path, key_ok, out, error);
}

// The maps keyed by numbers are looked up by number.
std::unordered_map<uint32_t, uint16_t> ByNumber(
    const std::unordered_map<std::string, uint16_t>& map) {
  std::unordered_map<uint32_t, uint16_t> out;
  for (const auto& [key, value] : map)
    out[static_cast<uint32_t>(std::strtoul(key.c_str(), nullptr, 10))] = value;
  return out;
}

bool ReadCountries(const std::string& path, std::unordered_map<std::string, uint16_t>* out,
                   std::string* error) {
  std::string text;
  if (!ReadWhole(path, &text, error))
    return false;
  cJSON* root = cJSON_ParseWithLength(text.data(), text.size());
  const cJSON* list = cJSON_GetObjectItemCaseSensitive(root, "3166-1");
  const cJSON* entry = nullptr;
  cJSON_ArrayForEach(entry, list) {
    const cJSON* alpha = cJSON_GetObjectItemCaseSensitive(entry, "alpha_2");
    const cJSON* numeric = cJSON_GetObjectItemCaseSensitive(entry, "numeric");
    if (cJSON_IsString(alpha) && cJSON_IsString(numeric))
      (*out)[alpha->valuestring] = static_cast<uint16_t>(std::atoi(numeric->valuestring));
  }
  cJSON_Delete(root);
  if (out->empty()) {
    *error = path + ": no ISO 3166-1 countries in it";
    return false;
  }
  return true;
}

bool Open(const std::string& path, MMDB_s* db, std::string* error) {
  const int status = MMDB_open(path.c_str(), MMDB_MODE_MMAP, db);
  if (status != MMDB_SUCCESS) {
    *error = path + ": " + MMDB_strerror(status);
    return false;
  }
  return true;
}

// The entry of `ip` in `db`; false when there is none.
bool Find(const MMDB_s& db, const sockaddr* addr, MMDB_entry_s* entry) {
  int error = MMDB_SUCCESS;
  MMDB_lookup_result_s result = MMDB_lookup_sockaddr(&db, addr, &error);
  if (error != MMDB_SUCCESS || !result.found_entry)
    return false;
  *entry = result.entry;
  return true;
}

bool Text(MMDB_entry_s* entry, std::string* out, const char* a, const char* b, const char* c) {
  MMDB_entry_data_s data;
  const int status = c == nullptr ? MMDB_get_value(entry, &data, a, b, NULL)
                                  : MMDB_get_value(entry, &data, a, b, c, NULL);
  if (status != MMDB_SUCCESS || !data.has_data || data.type != MMDB_DATA_TYPE_UTF8_STRING)
    return false;
  out->assign(data.utf8_string, data.data_size);
  return true;
}

bool Number(MMDB_entry_s* entry, uint32_t* out, const char* a, const char* b) {
  MMDB_entry_data_s data;
  const int status = b == nullptr ? MMDB_get_value(entry, &data, a, NULL)
                                  : MMDB_get_value(entry, &data, a, b, NULL);
  if (status != MMDB_SUCCESS || !data.has_data)
    return false;
  if (data.type == MMDB_DATA_TYPE_UINT32)
    *out = data.uint32;
  else if (data.type == MMDB_DATA_TYPE_UINT16)
    *out = data.uint16;
  else
    return false;
  return true;
}

template <typename Key>
uint16_t Code(const std::unordered_map<Key, uint16_t>& map, const Key& key) {
  auto it = map.find(key);
  return it == map.end() ? 0 : it->second;
}

}  // namespace

bool ReadMapText(const std::string& text, const std::string& name, bool (*key_ok)(std::string* key),
                 std::unordered_map<std::string, uint16_t>* out, std::string* error) {
  std::unordered_map<std::string, uint16_t> map;
  size_t line_no = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    ++line_no;
    size_t end = text.find('\n', pos);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t hash = line.find('#');
    if (hash != std::string::npos)
      line.resize(hash);
    std::vector<std::string> fields = Words(line);
    if (fields.empty())
      continue;
    const std::string where = name + ":" + std::to_string(line_no) + ": ";
    if (fields.size() != 2) {
      *error = where + "expected KEY NUMBER";
      return false;
    }
    std::string key = fields[0];
    if (!key_ok(&key)) {
      *error = where + "bad key '" + fields[0] + "'";
      return false;
    }
    const std::string& number = fields[1];
    if (!IsDigits(number) || std::strtoul(number.c_str(), nullptr, 10) > 65535) {
      *error = where + "bad number '" + number + "' (0-65535)";
      return false;
    }
    if (!map.emplace(key, static_cast<uint16_t>(std::strtoul(number.c_str(), nullptr, 10)))
             .second) {
      *error = where + "'" + fields[0] + "' given twice";
      return false;
    }
  }
  *out = std::move(map);
  return true;
}

GeoDatabases::~GeoDatabases() {
  if (city_open_)
    MMDB_close(&city_);
  if (asn_open_)
    MMDB_close(&asn_);
}

bool GeoDatabases::Load(const GeoFiles& files, std::string* error) {
  std::unordered_map<std::string, uint16_t> cities;
  std::unordered_map<std::string, uint16_t> isps;
  if (!files.city_db.empty()) {
    if (!ReadCountries(files.iso_3166, &countries_, error) ||
        (!files.province_map.empty() &&
         !ReadMapFile(files.province_map, ProvinceKey, &provinces_, error)) ||
        (!files.city_map.empty() && !ReadMapFile(files.city_map, CityKey, &cities, error)))
      return false;
    if (!Open(files.city_db, &city_, error))
      return false;
    city_open_ = true;
  }
  if (!files.asn_db.empty()) {
    if (!files.isp_map.empty() && !ReadMapFile(files.isp_map, IspKey, &isps, error))
      return false;
    if (!Open(files.asn_db, &asn_, error))
      return false;
    asn_open_ = true;
  }
  cities_ = ByNumber(cities);
  isps_ = ByNumber(isps);
  return true;
}

Location GeoDatabases::Lookup(const std::string& ip) const {
  Location location;
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  const sockaddr* addr = nullptr;
  if (inet_pton(AF_INET, ip.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    addr = reinterpret_cast<const sockaddr*>(&v4);
  } else if (inet_pton(AF_INET6, ip.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    addr = reinterpret_cast<const sockaddr*>(&v6);
  } else {
    return location;
  }
  MMDB_entry_s entry;
  if (city_open_ && Find(city_, addr, &entry)) {
    std::string country;
    if (Text(&entry, &country, "country", "iso_code", nullptr)) {
      location.country = Code(countries_, country);
      std::string subdivision;
      if (Text(&entry, &subdivision, "subdivisions", "0", "iso_code"))
        location.province = Code(provinces_, country + "-" + subdivision);
    }
    uint32_t geoname = 0;
    if (Number(&entry, &geoname, "city", "geoname_id"))
      location.city = Code(cities_, geoname);
  }
  uint32_t asn = 0;
  if (asn_open_ && Find(asn_, addr, &entry) &&
      Number(&entry, &asn, "autonomous_system_number", nullptr))
    location.isp = Code(isps_, asn);
  return location;
}

}  // namespace palvexd
