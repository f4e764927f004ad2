#include "wire/GradeProtocol.h"

#include <cstdio>
#include <map>
#include <utility>

#include "tovali/Network/random.h"

namespace palvex {
namespace {

// More lines than any message has: a payload of thousands of tiny lines is refused, not mapped.
constexpr size_t kMaxLines = 32;

using Fields = std::map<std::string, std::string>;

bool IsKey(const std::string& key) {
  if (key.empty() || key.size() > 32)
    return false;
  for (char c : key) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
      return false;
  }
  return true;
}

// Splits the payload into its fields; `rest_key`, when met, takes everything after its '='.
bool ReadFields(const std::string& payload, const char* rest_key, Fields* out) {
  size_t pos = 0;
  size_t lines = 0;
  while (pos < payload.size()) {
    if (++lines > kMaxLines)
      return false;
    size_t eq = payload.find('=', pos);
    size_t end = payload.find('\n', pos);
    if (end == std::string::npos)
      end = payload.size();
    if (eq == std::string::npos || eq > end)
      return false;
    std::string key = payload.substr(pos, eq - pos);
    if (!IsKey(key) || out->count(key) != 0)
      return false;
    if (rest_key != nullptr && key == rest_key) {
      (*out)[key] = payload.substr(eq + 1);
      return true;
    }
    (*out)[key] = payload.substr(eq + 1, end - eq - 1);
    pos = end + 1;
  }
  return true;
}

void AddField(std::string* out, const char* key, const std::string& value) {
  if (!out->empty())
    out->push_back('\n');
  out->append(key);
  out->push_back('=');
  out->append(value);
}

const std::string* Find(const Fields& fields, const char* key) {
  auto it = fields.find(key);
  return it == fields.end() ? nullptr : &it->second;
}

// Plain decimal, no sign or space, at most `max`.
bool ReadNumber(const std::string& text, uint32_t max, uint32_t* out) {
  if (text.empty() || text.size() > 10)
    return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > max)
    return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool IsTest(const std::string& test) {
  return test == kTestOtherAddress || test == kTestOtherPort;
}

}  // namespace

std::string MakeNonce() {
  std::mt19937& engine = tovali::RandomEngine();
  const uint64_t value = (static_cast<uint64_t>(engine()) << 32) | engine();
  char text[17];
  std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(value));
  return text;
}

bool IsNonce(const std::string& text) {
  if (text.size() < 16 || text.size() > 64)
    return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
      return false;
  }
  return true;
}

std::string BuildGradeRequest(const GradeRequest& request) {
  std::string payload;
  AddField(&payload, "nonce", request.nonce);
  AddField(&payload, "test", request.mapping_only ? "mapping" : "grade");
  if (!request.local.empty())
    AddField(&payload, "local", request.local);
  AddField(&payload, "identity", request.identity);
  return BuildFrame(kGradeVersion, payload);
}

bool ReadGradeRequest(const std::string& payload, GradeRequest* out) {
  Fields fields;
  if (!ReadFields(payload, "identity", &fields))
    return false;
  const std::string* nonce = Find(fields, "nonce");
  const std::string* test = Find(fields, "test");
  if (nonce == nullptr || !IsNonce(*nonce) || test == nullptr)
    return false;
  if (*test != "grade" && *test != "mapping")
    return false;
  out->nonce = *nonce;
  out->mapping_only = *test == "mapping";
  const std::string* local = Find(fields, "local");
  out->local = local != nullptr ? *local : std::string();
  const std::string* identity = Find(fields, "identity");
  out->identity = identity != nullptr ? *identity : std::string();
  return true;
}

std::string BuildGradeMessage(const GradeMessage& m) {
  std::string payload;
  switch (m.kind) {
    case GradeMessage::kReply: {
      AddField(&payload, "kind", "reply");
      AddField(&payload, "nonce", m.nonce);
      AddField(&payload, "mapped", m.reply.mapped_addr);
      AddField(&payload, "country", std::to_string(m.reply.country));
      AddField(&payload, "province", std::to_string(m.reply.province));
      AddField(&payload, "city", std::to_string(m.reply.city));
      AddField(&payload, "isp", std::to_string(m.reply.isp));
      if (!m.other_address.empty())
        AddField(&payload, "other-address", m.other_address);
      if (m.other_port != 0)
        AddField(&payload, "other-port", std::to_string(m.other_port));
      std::string tests;
      if (m.tests_other_address)
        tests = kTestOtherAddress;
      if (m.tests_other_port)
        tests += std::string(tests.empty() ? "" : ",") + kTestOtherPort;
      AddField(&payload, "tests", tests);
      break;
    }
    case GradeMessage::kFailed:
      AddField(&payload, "kind", "failed");
      AddField(&payload, "nonce", m.nonce);
      AddField(&payload, "test", m.test);
      AddField(&payload, "outcome", m.outcome);
      break;
    case GradeMessage::kDialback:
      AddField(&payload, "kind", "dialback");
      AddField(&payload, "nonce", m.nonce);
      AddField(&payload, "test", m.test);
      AddField(&payload, "server", m.server);
      break;
  }
  return BuildFrame(kGradeVersion, payload);
}

bool ReadGradeMessage(const std::string& payload, GradeMessage* out) {
  Fields fields;
  if (!ReadFields(payload, nullptr, &fields))
    return false;
  const std::string* kind = Find(fields, "kind");
  const std::string* nonce = Find(fields, "nonce");
  if (kind == nullptr || nonce == nullptr || !IsNonce(*nonce))
    return false;
  GradeMessage m;
  m.nonce = *nonce;
  if (*kind == "reply") {
    m.kind = GradeMessage::kReply;
    const std::string* mapped = Find(fields, "mapped");
    if (mapped == nullptr)
      return false;
    m.reply.mapped_addr = *mapped;
    const char* code_keys[] = {"country", "province", "city", "isp"};
    uint16_t* codes[] = {&m.reply.country, &m.reply.province, &m.reply.city, &m.reply.isp};
    for (size_t i = 0; i < 4; ++i) {
      const std::string* text = Find(fields, code_keys[i]);
      uint32_t value = 0;
      if (text != nullptr && !ReadNumber(*text, 65535, &value))
        return false;
      *codes[i] = static_cast<uint16_t>(value);
    }
    if (const std::string* other = Find(fields, "other-address"))
      m.other_address = *other;
    if (const std::string* port = Find(fields, "other-port")) {
      uint32_t value = 0;
      if (!ReadNumber(*port, 65535, &value) || value == 0)
        return false;
      m.other_port = static_cast<uint16_t>(value);
    }
    if (const std::string* tests = Find(fields, "tests")) {
      std::string list = *tests + ",";
      for (size_t pos = 0, comma; (comma = list.find(',', pos)) != std::string::npos;
           pos = comma + 1) {
        std::string test = list.substr(pos, comma - pos);
        m.tests_other_address |= test == kTestOtherAddress;
        m.tests_other_port |= test == kTestOtherPort;
      }
    }
  } else if (*kind == "failed" || *kind == "dialback") {
    m.kind = *kind == "failed" ? GradeMessage::kFailed : GradeMessage::kDialback;
    const std::string* test = Find(fields, "test");
    if (test == nullptr || !IsTest(*test))
      return false;
    m.test = *test;
    const std::string* extra = Find(fields, m.kind == GradeMessage::kFailed ? "outcome" : "server");
    if (extra != nullptr)
      (m.kind == GradeMessage::kFailed ? m.outcome : m.server) = *extra;
  } else {
    return false;
  }
  *out = std::move(m);
  return true;
}

}  // namespace palvex
