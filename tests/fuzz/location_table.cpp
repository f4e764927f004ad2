// The location table loader, read at start and at every SIGHUP, from any text: a table it
// accepts answers every lookup with the codes of the longest prefix holding the address, as a
// plain walk over its lines finds them; a table it refuses names the line. Also the service's
// ADDR:PORT parser, on the input's first line.
//
// Input: the table text.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_checks.h"
#include "server/LocationTable.h"
#include "server/ServerConfig.h"
#include "wire/DetectProtocol.h"

namespace {

struct Prefix {
  bool ipv6;
  unsigned char bytes[16];
  int length;
  palvexd::Location location;
};

bool Holds(const Prefix& p, bool ipv6, const unsigned char* address) {
  if (p.ipv6 != ipv6)
    return false;
  for (int bit = 0; bit < p.length; ++bit) {
    const int mask = 0x80 >> (bit % 8);
    if ((p.bytes[bit / 8] & mask) != (address[bit / 8] & mask))
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  palvexd::Endpoint endpoint;
  if (palvexd::ParseEndpoint(text.substr(0, text.find('\n')), &endpoint)) {
    palvexd::Endpoint again;
    FUZZ_CHECK(palvexd::ParseEndpoint(
        palvex::FormatAddress(endpoint.ip, !endpoint.ipv4, endpoint.port), &again));
    FUZZ_CHECK(again.ip == endpoint.ip && again.ipv4 == endpoint.ipv4 &&
               again.port == endpoint.port);
  }

  palvexd::LocationTable table;
  std::string error;
  if (!table.Parse(text, "fuzz", &error)) {
    FUZZ_CHECK(error.compare(0, 5, "fuzz:") == 0);
    FUZZ_CHECK(table.prefixes() == 0 && table.Lookup("0.0.0.0") == palvexd::Location{});
    return 0;
  }
  // Accepted: every line is a comment, blank, or "CIDR A B C D".
  std::vector<Prefix> prefixes;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::string cidr;
    unsigned long codes[4];
    if (!(fields >> cidr))
      continue;
    for (unsigned long& code : codes)
      FUZZ_CHECK(static_cast<bool>(fields >> code));
    Prefix p{};
    const size_t slash = cidr.find('/');
    FUZZ_CHECK(slash != std::string::npos);
    p.ipv6 = cidr.find(':') != std::string::npos;
    FUZZ_CHECK(inet_pton(p.ipv6 ? AF_INET6 : AF_INET, cidr.substr(0, slash).c_str(), p.bytes) == 1);
    p.length = std::atoi(cidr.c_str() + slash + 1);
    p.location = {static_cast<uint16_t>(codes[0]), static_cast<uint16_t>(codes[1]),
                  static_cast<uint16_t>(codes[2]), static_cast<uint16_t>(codes[3])};
    prefixes.push_back(p);
  }
  FUZZ_CHECK(table.prefixes() == prefixes.size());
  // Each prefix's first address and the addresses just below and past it.
  for (const Prefix& p : prefixes) {
    for (int step = -1; step <= 1; ++step) {
      unsigned char address[16];
      std::copy(p.bytes, p.bytes + 16, address);
      if (step != 0 && p.length > 0) {
        // Past the prefix: add one at its last bit; below it: take one there.
        int bit = p.length - 1;
        int carry = 0x80 >> (bit % 8);
        for (int i = bit / 8; i >= 0 && carry != 0; --i) {
          int v = address[i] + (step > 0 ? carry : -carry);
          address[i] = static_cast<unsigned char>(v & 0xff);
          carry = (v < 0 || v > 0xff) ? 1 : 0;
        }
      }
      const Prefix* best = nullptr;
      for (const Prefix& q : prefixes) {
        if (Holds(q, p.ipv6, address) && (best == nullptr || q.length > best->length))
          best = &q;
      }
      const palvexd::Location want = best != nullptr ? best->location : palvexd::Location{};
      char ip[INET6_ADDRSTRLEN];
      inet_ntop(p.ipv6 ? AF_INET6 : AF_INET, address, ip, sizeof(ip));
      FUZZ_CHECK(table.Lookup(ip) == want);
    }
  }
  return 0;
}
