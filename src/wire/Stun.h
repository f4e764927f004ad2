// STUN Binding messages, for palvex's UDP grading and palvexd's STUN service: RFC 5389 (magic
// cookie, XOR-MAPPED-ADDRESS, FINGERPRINT, ERROR-CODE 420 with UNKNOWN-ATTRIBUTES), the NAT
// behaviour discovery attributes of RFC 5780 (CHANGE-REQUEST, RESPONSE-ORIGIN, OTHER-ADDRESS,
// PADDING), and the classic requests of RFC 3489 (no cookie; MAPPED-ADDRESS, SOURCE-ADDRESS,
// CHANGED-ADDRESS). Pure code: no I/O, no logging.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace palvex {
namespace stun {

inline constexpr uint32_t kMagicCookie = 0x2112A442;
inline constexpr uint16_t kBindingRequest = 0x0001;
inline constexpr uint16_t kBindingSuccess = 0x0101;
inline constexpr uint16_t kBindingError = 0x0111;
inline constexpr size_t kHeaderSize = 20;
// CHANGE-REQUEST flags.
inline constexpr uint32_t kChangeIp = 0x04;
inline constexpr uint32_t kChangePort = 0x02;

struct Address {
  bool present = false;
  bool ipv6 = false;
  std::array<uint8_t, 16> ip{};  // the first 4 bytes for IPv4
  uint16_t port = 0;
  bool operator==(const Address& o) const {
    return present == o.present && ipv6 == o.ipv6 && ip == o.ip && port == o.port;
  }
  bool operator!=(const Address& o) const { return !(*this == o); }
};

// From and to socket addresses (IPv4 or IPv6; an IPv4-mapped IPv6 address stays IPv6).
Address FromSockAddr(const sockaddr* addr);
// The length written into *out; 0 (nothing written) for an address not present.
socklen_t ToSockAddr(const Address& address, sockaddr_storage* out);
// From numeric text of the family `ipv6` says; not present when the text is no such address.
Address FromText(const std::string& ip, bool ipv6, uint16_t port);
// "ip:port", brackets for IPv6; "" when not present.
std::string ToText(const Address& address);

struct Message {
  uint16_t type = 0;
  bool classic = false;  // RFC 3489: no magic cookie, the cookie's bytes are part of the id
  std::array<uint8_t, 16> transaction{};  // RFC 5389 uses the last 12 bytes (the first 4: cookie)
  bool has_change_request = false;
  uint32_t change_flags = 0;
  bool has_fingerprint = false;
  size_t padding = 0;                      // PADDING bytes in the request
  size_t size = 0;                         // the whole datagram's
  std::vector<uint16_t> unknown_required;  // comprehension-required attributes not understood
  // Responses.
  Address mapped;           // XOR-MAPPED-ADDRESS, else MAPPED-ADDRESS
  Address response_origin;  // RESPONSE-ORIGIN, else SOURCE-ADDRESS
  Address other_address;    // OTHER-ADDRESS, else CHANGED-ADDRESS
  int error_code = 0;       // ERROR-CODE as class * 100 + number
};

enum ParseResult : int {
  kParsed = 0,
  kNotStun = 1,         // too short, wrong leading bits, lengths that do not add up
  kBadFingerprint = 2,  // a FINGERPRINT that is not the last attribute or does not match
};

// Parses one datagram.
int Parse(const uint8_t* data, size_t size, Message* out);

// A Binding request: RFC 5389 with `transaction`'s last 12 bytes, CHANGE-REQUEST when `flags`
// is not 0, FINGERPRINT when asked.
std::string BuildRequest(const std::array<uint8_t, 16>& transaction, uint32_t flags,
                         bool fingerprint);

// The success response to `request`: the request's source as XOR-MAPPED-ADDRESS and
// MAPPED-ADDRESS (MAPPED-ADDRESS only for classic requests), the socket it
// leaves from as RESPONSE-ORIGIN (SOURCE-ADDRESS for classic requests) and, when there is one, the
// other address and port as OTHER-ADDRESS (CHANGED-ADDRESS); PADDING when the request had some,
// never beyond the request's padding nor making the response larger than the request;
// FINGERPRINT when the request had one. Classic requests get a classic response.
std::string BuildSuccess(const Message& request, const Address& source, const Address& origin,
                         const Address& other);

// An error response (class * 100 + number, e.g. 420) listing `unknown` attributes.
std::string BuildError(const Message& request, int code, const std::vector<uint16_t>& unknown);

}  // namespace stun
}  // namespace palvex
