#include "main/DetectMessage.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <vector>

#include "base/Utils.h"
#include "tovali/log/utf8.h"

namespace palvex {
namespace {

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Text from outside (the server's reply, the command line) enters the record as well-formed
// UTF-8, and a zero byte as the escape \u0000 rather than the end of the string: the record
// parses back to the very text wherever that text was well-formed.
void AddText(cJSON* root, const char* key, const std::string& value) {
  std::string text = tovali::SanitizeUtf8(value);
  if (text.find('\0') == std::string::npos) {
    cJSON_AddStringToObject(root, key, text.c_str());
    return;
  }
  // cJSON's strings end at a zero byte: the text goes in escaped as cJSON would.
  std::string raw;
  AppendJsonString(&raw, text);
  cJSON_AddRawToObject(root, key, raw.c_str());
}

}  // namespace

std::string BuildDetectRequest(const std::string& identity, bool locate) {
  return BuildFrame(locate ? kLocateVersion : kDetectVersion, identity);
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

int ParseDetectReply(const std::string& text, std::string& mapped_addr, uint16_t& country,
                     uint16_t& province, uint16_t& city, uint16_t& isp) {
  mapped_addr = text;
  if (text.find('|') == std::string::npos)
    return kReplyUnshaped;
  std::vector<std::string> pieces = Split(text, "|", true);
  if (pieces.size() != 5)
    return kReplyUnshaped;
  mapped_addr = pieces[0];
  uint16_t* codes[] = {&country, &province, &city, &isp};
  for (size_t i = 0; i < 4; ++i) {
    if (!ParseLocationCode(pieces[i + 1], codes[i]))
      return kReplyBadCode;
  }
  return kReplyParsed;
}

std::string BuildDetectRecord(const DetectReport& report) {
  cJSON* root = cJSON_CreateObject();
  if (root == nullptr)
    return std::string();
  if (!report.nic.empty())
    AddText(root, "nic", report.nic);
  cJSON_AddStringToObject(root, "protocol", report.ipv6 ? "tcp6" : "tcp");
  // Without a configured address the local part stays empty, brackets or not.
  std::string local = report.ip.empty() ? ":" + std::to_string(report.listen_port)
                                        : FormatAddress(report.ip, report.ipv6, report.listen_port);
  AddText(root, "localAddr", local);
  AddText(root, "mappedAddr", report.mapped_addr);
  cJSON_AddNumberToObject(root, "country", report.country);
  cJSON_AddNumberToObject(root, "province", report.province);
  cJSON_AddNumberToObject(root, "city", report.city);
  cJSON_AddNumberToObject(root, "isp", report.isp);
  if (!report.locate) {
    std::string server = FormatAddress(report.server_ip, report.ipv6, report.port);
    AddText(root, "serverAddr", server);
    AddText(root, "detectAddr", report.detect_addr);
    cJSON_AddNumberToObject(root, "p2pReverse", report.p2p_status);
    cJSON_AddNumberToObject(root, "p2pStatus", report.p2p_status);
    cJSON_AddNumberToObject(root, "timestamp", static_cast<double>(report.timestamp));
  }
  char* printed = cJSON_PrintUnformatted(root);
  cJSON_Delete(root);
  if (printed == nullptr)
    return std::string();
  std::string text(printed);
  cJSON_free(printed);
  return text;
}

bool WriteIspFile(uint16_t isp, const std::string& path) {
  if (isp == 0)
    return false;
  char text[8];
  std::snprintf(text, sizeof(text), "%d", isp);
  return WriteFile(path, text, false);
}

}  // namespace palvex
