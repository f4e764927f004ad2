#include "server/LocationTable.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/Utils.h"

namespace palvexd {
namespace {

// A table file is the operator's; this only guards against pointing it at something absurd.
constexpr size_t kMaxTableFileSize = size_t{1} << 30;

template <typename Key>
struct Prefix {
  Key start;
  Key end;  // last address inside
  uint32_t line;
  uint8_t length;
  Location location;
};

template <typename Key>
bool PrefixOrder(const Prefix<Key>& a, const Prefix<Key>& b) {
  // Equal starts: the shorter (enclosing) prefix first.
  if (a.start != b.start)
    return a.start < b.start;
  return a.length < b.length;
}

// Ranges merge only when neither their codes nor their being covered by a prefix differ.
bool Same(const Location& a, const Location& b) {
  return a == b && a.matched == b.matched;
}

// Sorted prefixes to disjoint ranges holding the innermost prefix's codes. Every prefix pair is
// either nested or disjoint, so a stack of the enclosing prefixes is enough.
template <typename Key>
void Flatten(const std::vector<Prefix<Key>>& prefixes, std::vector<Key>* starts,
             std::vector<Location>* locations) {
  starts->assign(1, Key{0});
  locations->assign(1, Location{});
  auto emit = [&](Key at, const Location& location) {
    if (starts->back() == at) {
      locations->back() = location;
      size_t n = locations->size();
      if (n >= 2 && Same((*locations)[n - 2], location)) {
        starts->pop_back();
        locations->pop_back();
      }
      return;
    }
    if (Same(locations->back(), location))
      return;
    starts->push_back(at);
    locations->push_back(location);
  };
  struct Open {
    Key end;
    Location location;
  };
  std::vector<Open> stack;
  auto close_until = [&](bool all, Key before) {
    while (!stack.empty() && (all || stack.back().end < before)) {
      Key end = stack.back().end;
      stack.pop_back();
      if (end == static_cast<Key>(~Key{0}))
        continue;  // reaches the top of the address space: nothing follows
      emit(end + 1, stack.empty() ? Location{} : stack.back().location);
    }
  };
  for (const Prefix<Key>& p : prefixes) {
    close_until(false, p.start);
    emit(p.start, p.location);
    stack.push_back(Open{p.end, p.location});
  }
  close_until(true, Key{0});
  starts->shrink_to_fit();
  locations->shrink_to_fit();
}

template <typename Key>
Location Find(const std::vector<Key>& starts, const std::vector<Location>& locations, Key address) {
  auto it = std::upper_bound(starts.begin(), starts.end(), address);
  return locations[static_cast<size_t>(it - starts.begin()) - 1];
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool ParseCode(const char* p, size_t n, uint16_t* out) {
  if (n == 0 || n > 5)
    return false;
  uint32_t value = 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9')
      return false;
    value = value * 10 + static_cast<uint32_t>(p[i] - '0');
  }
  if (value > 65535)
    return false;
  *out = static_cast<uint16_t>(value);
  return true;
}

uint32_t ToKey4(const unsigned char bytes[4]) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

LocationTable::Key6 ToKey6(const unsigned char bytes[16]) {
  LocationTable::Key6 key = 0;
  for (int i = 0; i < 16; ++i)
    key = (key << 8) | bytes[i];
  return key;
}

}  // namespace

bool LocationTable::Parse(const std::string& text, const std::string& name, std::string* error) {
  std::vector<Prefix<uint32_t>> v4;
  std::vector<Prefix<Key6>> v6;
  uint32_t line_no = 0;
  auto fail = [&](const std::string& reason) {
    *error = name + ":" + std::to_string(line_no) + ": " + reason;
    return false;
  };

  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    ++line_no;
    const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    if (eol == nullptr)
      eol = end;
    const char* hash = static_cast<const char*>(std::memchr(p, '#', static_cast<size_t>(eol - p)));
    const char* stop = hash != nullptr ? hash : eol;
    // Up to six fields, so that a seventh is noticed.
    std::pair<const char*, size_t> fields[6];
    size_t count = 0;
    const char* q = p;
    while (q < stop && count < 6) {
      while (q < stop && IsBlank(*q))
        ++q;
      if (q == stop)
        break;
      const char* start = q;
      while (q < stop && !IsBlank(*q))
        ++q;
      fields[count++] = {start, static_cast<size_t>(q - start)};
    }
    p = eol + 1;
    if (count == 0)
      continue;
    if (count != 5)
      return fail("expected CIDR COUNTRY PROVINCE CITY ISP");

    std::string cidr(fields[0].first, fields[0].second);
    size_t slash = cidr.find('/');
    if (slash == std::string::npos)
      return fail("missing prefix length in '" + cidr + "'");
    std::string address = cidr.substr(0, slash);
    std::string length_text = cidr.substr(slash + 1);
    bool ipv6 = address.find(':') != std::string::npos;
    unsigned char bytes[16] = {};
    if (inet_pton(ipv6 ? AF_INET6 : AF_INET, address.c_str(), bytes) != 1)
      return fail("bad address '" + address + "'");
    uint16_t length = 0;
    if (!ParseCode(length_text.data(), length_text.size(), &length) || length > (ipv6 ? 128 : 32))
      return fail("bad prefix length '" + length_text + "'");
    Location location;
    location.matched = true;
    uint16_t* codes[4] = {&location.country, &location.province, &location.city, &location.isp};
    for (int i = 0; i < 4; ++i) {
      if (!ParseCode(fields[i + 1].first, fields[i + 1].second, codes[i]))
        return fail("bad code '" + std::string(fields[i + 1].first, fields[i + 1].second) +
                    "' (0-65535)");
    }

    if (!ipv6) {
      uint32_t start = ToKey4(bytes);
      uint32_t host = length == 32 ? 0 : ~uint32_t{0} >> length;  // a shift by 32 is undefined
      if ((start & host) != 0)
        return fail("bits set past the prefix length in '" + cidr + "'");
      v4.push_back({start, start | host, line_no, static_cast<uint8_t>(length), location});
    } else {
      Key6 start = ToKey6(bytes);
      Key6 host = length == 128 ? 0 : ~Key6{0} >> length;
      if ((start & host) != 0)
        return fail("bits set past the prefix length in '" + cidr + "'");
      v6.push_back({start, start | host, line_no, static_cast<uint8_t>(length), location});
    }
  }

  std::sort(v4.begin(), v4.end(), PrefixOrder<uint32_t>);
  std::sort(v6.begin(), v6.end(), PrefixOrder<Key6>);
  // A duplicate: the same start and length on two lines; report the later line.
  auto check_duplicates = [&](const auto& sorted) {
    for (size_t i = 1; i < sorted.size(); ++i) {
      const auto& a = sorted[i - 1];
      const auto& b = sorted[i];
      if (a.start == b.start && a.length == b.length) {
        line_no = std::max(a.line, b.line);
        return fail("duplicate prefix (also on line " + std::to_string(std::min(a.line, b.line)) +
                    ")");
      }
    }
    return true;
  };
  if (!check_duplicates(v4) || !check_duplicates(v6))
    return false;

  Flatten(v4, &starts4_, &locations4_);
  Flatten(v6, &starts6_, &locations6_);
  prefixes_ = v4.size() + v6.size();
  return true;
}

bool LocationTable::Load(const std::string& path, std::string* error) {
  std::string text;
  errno = 0;
  if (!palvex::ReadFile(path, text, kMaxTableFileSize)) {
    *error = path + ": cannot read: " + (errno != 0 ? std::strerror(errno) : "too large");
    return false;
  }
  return Parse(text, path, error);
}

Location LocationTable::Lookup(const std::string& ip) const {
  unsigned char bytes[16];
  if (inet_pton(AF_INET, ip.c_str(), bytes) == 1) {
    return LookupV4(ToKey4(bytes));
  }
  if (inet_pton(AF_INET6, ip.c_str(), bytes) == 1)
    return LookupV6(bytes);
  return Location{};
}

Location LocationTable::LookupV4(uint32_t address) const {
  return Find(starts4_, locations4_, address);
}

Location LocationTable::LookupV6(const unsigned char address[16]) const {
  return Find(starts6_, locations6_, ToKey6(address));
}

}  // namespace palvexd
