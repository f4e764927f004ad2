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

}  // namespace

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
