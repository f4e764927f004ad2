#include "main/DetectMessage.h"

#include <cjson/cJSON.h>

#include <cstdio>

#include "base/Utils.h"
#include "tovali/util/utf8.h"
#include "wire/DetectProtocol.h"

namespace palvex {
namespace {

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

// "" without a configured address, so that the local part stays empty, brackets or not.
std::string LocalAddr(const std::string& ip, bool ipv6, uint16_t port) {
  return ip.empty() ? ":" + std::to_string(port) : FormatAddress(ip, ipv6, port);
}

std::string Print(cJSON* root) {
  char* printed = cJSON_PrintUnformatted(root);
  cJSON_Delete(root);
  if (printed == nullptr)
    return std::string();
  std::string text(printed);
  cJSON_free(printed);
  return text;
}

}  // namespace

std::string BuildDetectRecord(const DetectReport& report) {
  cJSON* root = cJSON_CreateObject();
  if (root == nullptr)
    return std::string();
  if (!report.nic.empty())
    AddText(root, "nic", report.nic);
  cJSON_AddStringToObject(root, "protocol", report.ipv6 ? "tcp6" : "tcp");
  AddText(root, "localAddr", LocalAddr(report.ip, report.ipv6, report.listen_port));
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
  return Print(root);
}

std::string BuildNatRecord(const NatReport& report) {
  cJSON* root = cJSON_CreateObject();
  if (root == nullptr)
    return std::string();
  if (!report.nic.empty())
    AddText(root, "nic", report.nic);
  cJSON_AddStringToObject(
      root, "protocol",
      report.udp ? (report.ipv6 ? "udp6" : "udp") : (report.ipv6 ? "tcp6" : "tcp"));
  AddText(root, "localAddr", LocalAddr(report.ip, report.ipv6, report.listen_port));
  AddText(root, "serverAddr", report.server);
  AddText(root, "otherAddr", report.other);
  AddText(root, "mappedAddr", report.mapped[0]);
  cJSON* mapped = cJSON_AddArrayToObject(root, "mappedAddrs");
  for (const std::string& endpoint : report.mapped) {
    if (mapped != nullptr)
      cJSON_AddItemToArray(mapped, cJSON_CreateString(tovali::SanitizeUtf8(endpoint).c_str()));
  }
  cJSON_AddNumberToObject(root, "country", report.country);
  cJSON_AddNumberToObject(root, "province", report.province);
  cJSON_AddNumberToObject(root, "city", report.city);
  cJSON_AddNumberToObject(root, "isp", report.isp);
  const NatVerdict& v = report.verdict;
  cJSON_AddNumberToObject(root, "nat", v.nat);
  cJSON_AddNumberToObject(root, "portPreserved", v.port_preserved);
  cJSON_AddStringToObject(root, "mapping", NatBehaviourName(v.mapping));
  cJSON_AddStringToObject(root, "filtering", NatBehaviourName(v.filtering));
  cJSON_AddNumberToObject(root, "natType", v.nat_type);
  cJSON_AddNumberToObject(root, "timestamp", static_cast<double>(report.timestamp));
  return Print(root);
}

bool WriteIspFile(uint16_t isp, const std::string& path) {
  if (isp == 0)
    return false;
  char text[8];
  std::snprintf(text, sizeof(text), "%d", isp);
  return WriteFile(path, text, false);
}

}  // namespace palvex
