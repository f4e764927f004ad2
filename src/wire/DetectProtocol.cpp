#include "wire/DetectProtocol.h"

#include <vector>

#include "base/Utils.h"

namespace palvex {
namespace {

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

bool IsRequestVersion(uint16_t version) {
  return version == kDetectVersion || version == kLocateVersion || version == kGradeVersion;
}

std::string BuildDetectRequest(const std::string& identity, bool locate) {
  return BuildFrame(locate ? kLocateVersion : kDetectVersion, identity);
}

std::string BuildDialbackFrame(const std::string& server_id) {
  return BuildFrame(kDetectVersion, server_id);
}

std::string WriteDetectReply(const DetectReply& reply) {
  return reply.mapped_addr + "|" + std::to_string(reply.country) + "|" +
         std::to_string(reply.province) + "|" + std::to_string(reply.city) + "|" +
         std::to_string(reply.isp);
}

bool ParseLocationCode(const std::string& piece, uint16_t* out) {
  size_t i = 0;
  while (i < piece.size() && IsSpace(piece[i]))
    ++i;
  bool negative = false;
  if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) {
    negative = piece[i] == '-';
    ++i;
  }
  const size_t digits_start = i;
  uint64_t value = 0;
  for (; i < piece.size() && piece[i] >= '0' && piece[i] <= '9'; ++i) {
    uint64_t digit = static_cast<uint64_t>(piece[i] - '0');
    if (value > (UINT64_MAX - digit) / 10)
      return false;  // does not fit
    value = value * 10 + digit;
  }
  if (i == digits_start)
    return false;  // no leading number
  if (negative)
    value = 0 - value;  // modulo 2^64
  *out = static_cast<uint16_t>(value & 0xffff);
  return true;
}

int ReadDetectReply(const std::string& text, DetectReply* reply) {
  reply->mapped_addr = text;
  if (text.find('|') == std::string::npos)
    return kReplyUnshaped;
  std::vector<std::string> pieces = Split(text, "|", true);
  if (pieces.size() != 5)
    return kReplyUnshaped;
  reply->mapped_addr = pieces[0];
  uint16_t* codes[] = {&reply->country, &reply->province, &reply->city, &reply->isp};
  for (size_t i = 0; i < 4; ++i) {
    if (!ParseLocationCode(pieces[i + 1], codes[i]))
      return kReplyBadCode;
  }
  return kReplyParsed;
}

std::string FormatAddress(const std::string& ip, bool ipv6, uint16_t port) {
  std::string text = ipv6 ? "[" + ip + "]" : ip;
  return text + ":" + std::to_string(port);
}

}  // namespace palvex
