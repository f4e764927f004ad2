#include "wire/Stun.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace palvex {
namespace stun {
namespace {

constexpr uint16_t kMappedAddress = 0x0001;
constexpr uint16_t kChangeRequest = 0x0003;
constexpr uint16_t kSourceAddress = 0x0004;
constexpr uint16_t kChangedAddress = 0x0005;
constexpr uint16_t kErrorCode = 0x0009;
constexpr uint16_t kUnknownAttributes = 0x000A;
constexpr uint16_t kXorMappedAddress = 0x0020;
constexpr uint16_t kPadding = 0x0026;
constexpr uint16_t kSoftware = 0x8022;
constexpr uint16_t kFingerprint = 0x8028;
constexpr uint16_t kResponseOrigin = 0x802B;
constexpr uint16_t kOtherAddress = 0x802C;
constexpr uint32_t kFingerprintXor = 0x5354554E;

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t Get32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void Put16(std::string* out, uint16_t v) {
  out->push_back(static_cast<char>(v >> 8));
  out->push_back(static_cast<char>(v & 0xff));
}

void Put32(std::string* out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v >> 16));
  Put16(out, static_cast<uint16_t>(v & 0xffff));
}

uint32_t Crc32(const uint8_t* data, size_t size) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i)
    crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// The mask XOR-MAPPED-ADDRESS applies: the cookie, then the transaction id.
std::array<uint8_t, 16> XorMask(const Message& m) {
  std::array<uint8_t, 16> mask = m.transaction;
  mask[0] = 0x21;
  mask[1] = 0x12;
  mask[2] = 0xA4;
  mask[3] = 0x42;
  return mask;
}

bool ReadAddress(const uint8_t* v, size_t len, bool xored, const Message& m, Address* out) {
  if (len < 4)
    return false;
  const uint8_t family = v[1];
  const size_t size = family == 0x01 ? 4 : family == 0x02 ? 16 : 0;
  if (size == 0 || len < 4 + size)
    return false;
  Address a;
  a.present = true;
  a.ipv6 = family == 0x02;
  a.port = Get16(v + 2);
  std::memcpy(a.ip.data(), v + 4, size);
  if (xored) {
    const std::array<uint8_t, 16> mask = XorMask(m);
    a.port ^= static_cast<uint16_t>(kMagicCookie >> 16);
    for (size_t i = 0; i < size; ++i)
      a.ip[i] ^= mask[i];
  }
  *out = a;
  return true;
}

void AddAttribute(std::string* out, uint16_t type, const std::string& value) {
  Put16(out, type);
  Put16(out, static_cast<uint16_t>(value.size()));
  out->append(value);
  while (out->size() % 4 != 0)
    out->push_back('\0');
}

void AddAddress(std::string* out, uint16_t type, const Address& a, bool xored, const Message& m) {
  std::string value;
  value.push_back('\0');
  value.push_back(a.ipv6 ? 0x02 : 0x01);
  const std::array<uint8_t, 16> mask = XorMask(m);
  Put16(&value, xored ? static_cast<uint16_t>(a.port ^ (kMagicCookie >> 16)) : a.port);
  for (size_t i = 0; i < (a.ipv6 ? 16u : 4u); ++i)
    value.push_back(static_cast<char>(xored ? a.ip[i] ^ mask[i] : a.ip[i]));
  AddAttribute(out, type, value);
}

// Header plus attributes; the length field is set here, FINGERPRINT appended when asked.
std::string Finish(uint16_t type, const Message& m, std::string attributes, bool fingerprint) {
  std::string out;
  Put16(&out, type);
  Put16(&out, static_cast<uint16_t>(attributes.size() + (fingerprint ? 8 : 0)));
  out.append(reinterpret_cast<const char*>(m.transaction.data()), 16);
  if (!m.classic) {
    out[4] = 0x21;
    out[5] = 0x12;
    out[6] = static_cast<char>(0xA4);
    out[7] = 0x42;
  }
  out += attributes;
  if (fingerprint) {
    const uint32_t crc =
        Crc32(reinterpret_cast<const uint8_t*>(out.data()), out.size()) ^ kFingerprintXor;
    std::string value;
    Put32(&value, crc);
    AddAttribute(&out, kFingerprint, value);
  }
  return out;
}

}  // namespace

Address FromSockAddr(const sockaddr* addr) {
  Address a;
  if (addr->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
    a.present = true;
    std::memcpy(a.ip.data(), &in->sin_addr, 4);
    a.port = ntohs(in->sin_port);
  } else if (addr->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
    a.present = true;
    a.ipv6 = true;
    std::memcpy(a.ip.data(), &in6->sin6_addr, 16);
    a.port = ntohs(in6->sin6_port);
  }
  return a;
}

socklen_t ToSockAddr(const Address& a, sockaddr_storage* out) {
  if (!a.present)
    return 0;
  std::memset(out, 0, sizeof(*out));
  if (a.ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(a.port);
    std::memcpy(&in6->sin6_addr, a.ip.data(), 16);
    return sizeof(sockaddr_in6);
  }
  auto* in = reinterpret_cast<sockaddr_in*>(out);
  in->sin_family = AF_INET;
  in->sin_port = htons(a.port);
  std::memcpy(&in->sin_addr, a.ip.data(), 4);
  return sizeof(sockaddr_in);
}

Address FromText(const std::string& ip, bool ipv6, uint16_t port) {
  Address a;
  if (inet_pton(ipv6 ? AF_INET6 : AF_INET, ip.c_str(), a.ip.data()) != 1)
    return Address();
  a.present = true;
  a.ipv6 = ipv6;
  a.port = port;
  return a;
}

std::string ToText(const Address& a) {
  if (!a.present)
    return std::string();
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(a.ipv6 ? AF_INET6 : AF_INET, a.ip.data(), text, sizeof(text));
  return a.ipv6 ? "[" + std::string(text) + "]:" + std::to_string(a.port)
                : std::string(text) + ":" + std::to_string(a.port);
}

int Parse(const uint8_t* data, size_t size, Message* out) {
  if (size < kHeaderSize || (data[0] & 0xC0) != 0)
    return kNotStun;
  const uint16_t length = Get16(data + 2);
  if (length % 4 != 0 || size != kHeaderSize + length)
    return kNotStun;
  Message m;
  m.type = Get16(data);
  m.size = size;
  m.classic = Get32(data + 4) != kMagicCookie;
  // A classic message is only taken as a Binding request or its answers.
  if (m.classic && m.type != kBindingRequest && m.type != kBindingSuccess &&
      m.type != kBindingError)
    return kNotStun;
  std::memcpy(m.transaction.data(), data + 4, 16);
  size_t pos = kHeaderSize;
  while (pos < size) {
    if (size - pos < 4)
      return kNotStun;
    const uint16_t type = Get16(data + pos);
    const uint16_t len = Get16(data + pos + 2);
    const size_t padded = (static_cast<size_t>(len) + 3) & ~size_t{3};
    if (size - pos - 4 < padded)
      return kNotStun;
    const uint8_t* v = data + pos + 4;
    if (m.has_fingerprint)
      return kBadFingerprint;  // FINGERPRINT must be the last attribute
    switch (type) {
      case kFingerprint: {
        if (len != 4 || m.classic)
          return kBadFingerprint;
        // Computed with the length field as it stands: the fingerprint is the last attribute.
        if ((Crc32(data, pos) ^ kFingerprintXor) != Get32(v))
          return kBadFingerprint;
        m.has_fingerprint = true;
        break;
      }
      case kChangeRequest:
        if (len != 4)
          return kNotStun;
        m.has_change_request = true;
        m.change_flags = Get32(v);
        break;
      case kPadding:
        m.padding += len;
        break;
      case kXorMappedAddress:
        if (!ReadAddress(v, len, true, m, &m.mapped))
          return kNotStun;
        break;
      case kMappedAddress:
        if (!m.mapped.present && !ReadAddress(v, len, false, m, &m.mapped))
          return kNotStun;
        break;
      case kResponseOrigin:
      case kSourceAddress:
        if (!ReadAddress(v, len, false, m, &m.response_origin))
          return kNotStun;
        break;
      case kOtherAddress:
      case kChangedAddress:
        if (!ReadAddress(v, len, false, m, &m.other_address))
          return kNotStun;
        break;
      case kErrorCode:
        if (len < 4)
          return kNotStun;
        m.error_code = (v[2] & 0x07) * 100 + v[3];
        break;
      case kSoftware:
      case kUnknownAttributes:
        break;
      default:
        if (type < 0x8000)
          m.unknown_required.push_back(type);
        break;
    }
    pos += 4 + padded;
  }
  *out = std::move(m);
  return kParsed;
}

std::string BuildRequest(const std::array<uint8_t, 16>& transaction, uint32_t flags,
                         bool fingerprint) {
  Message m;
  m.transaction = transaction;
  std::string attributes;
  if (flags != 0) {
    std::string value;
    Put32(&value, flags);
    AddAttribute(&attributes, kChangeRequest, value);
  }
  return Finish(kBindingRequest, m, attributes, fingerprint);
}

std::string BuildSuccess(const Message& request, const Address& source, const Address& origin,
                         const Address& other) {
  std::string attributes;
  if (request.classic) {
    AddAddress(&attributes, kMappedAddress, source, false, request);
    AddAddress(&attributes, kSourceAddress, origin, false, request);
    if (other.present)
      AddAddress(&attributes, kChangedAddress, other, false, request);
    return Finish(kBindingSuccess, request, attributes, false);
  }
  AddAddress(&attributes, kXorMappedAddress, source, true, request);
  // For clients older than XOR-MAPPED-ADDRESS, as RFC 5389 servers commonly keep it.
  AddAddress(&attributes, kMappedAddress, source, false, request);
  AddAddress(&attributes, kResponseOrigin, origin, false, request);
  if (other.present)
    AddAddress(&attributes, kOtherAddress, other, false, request);
  // A client pads to learn whether large datagrams get through; the answer stays within the
  // request's size, so that padding cannot make the service an amplifier. `bare` is the
  // response's size with an empty PADDING attribute.
  const size_t bare = kHeaderSize + attributes.size() + 4 + (request.has_fingerprint ? 8 : 0);
  if (request.padding != 0 && request.size > bare) {
    const size_t room = std::min(request.padding, request.size - bare) & ~size_t{3};
    if (room != 0)
      AddAttribute(&attributes, kPadding, std::string(room, '\0'));
  }
  return Finish(kBindingSuccess, request, attributes, request.has_fingerprint);
}

std::string BuildError(const Message& request, int code, const std::vector<uint16_t>& unknown) {
  std::string value;
  Put16(&value, 0);
  value.push_back(static_cast<char>(code / 100));
  value.push_back(static_cast<char>(code % 100));
  value += code == 420 ? "Unknown Attribute" : "Bad Request";
  std::string attributes;
  AddAttribute(&attributes, kErrorCode, value);
  if (!unknown.empty()) {
    std::string list;
    for (uint16_t type : unknown)
      Put16(&list, type);
    AddAttribute(&attributes, kUnknownAttributes, list);
  }
  return Finish(kBindingError, request, attributes, request.has_fingerprint && !request.classic);
}

}  // namespace stun
}  // namespace palvex
