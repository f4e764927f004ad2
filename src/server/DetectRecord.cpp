#include "server/DetectRecord.h"

#include <cstdio>

#include "tovali/log/utf8.h"

namespace palvexd {
namespace {

void AppendEscaped(std::string* out, const std::string& text) {
  out->push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof(buf), "\\u%04x", c);
          out->append(buf);
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}

void AppendMember(std::string* out, const char* key) {
  if (out->back() != '{')
    out->push_back(',');
  out->push_back('"');
  out->append(key);
  out->append("\":");
}

}  // namespace

const char* OutcomeName(DialbackOutcome outcome) {
  switch (outcome) {
    case DialbackOutcome::kOk:
      return "ok";
    case DialbackOutcome::kRefused:
      return "refused";
    case DialbackOutcome::kTimeout:
      return "timeout";
    case DialbackOutcome::kUnreachable:
      return "unreachable";
    case DialbackOutcome::kError:
      return "error";
    case DialbackOutcome::kSkipped:
      return "skipped";
  }
  return "error";
}

std::string SanitizeIdentity(const std::string& bytes, size_t max_bytes) {
  std::string out = tovali::SanitizeUtf8(bytes);
  if (out.size() > max_bytes) {
    // Well-formed now, so stepping back over continuation bytes lands on a character's start.
    size_t cut = max_bytes;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
      --cut;
    out.resize(cut);
  }
  return out;
}

std::string BuildRecordLine(const DetectRecord& r) {
  std::string out;
  out.reserve(192 + r.identity.size());
  out.push_back('{');
  AppendMember(&out, "time");
  out += std::to_string(r.time);
  AppendMember(&out, "peer");
  AppendEscaped(&out, r.peer);
  AppendMember(&out, "local");
  AppendEscaped(&out, r.local);
  AppendMember(&out, "version");
  out += std::to_string(r.version);
  AppendMember(&out, "identity");
  AppendEscaped(&out, r.identity);
  AppendMember(&out, "country");
  out += std::to_string(r.location.country);
  AppendMember(&out, "province");
  out += std::to_string(r.location.province);
  AppendMember(&out, "city");
  out += std::to_string(r.location.city);
  AppendMember(&out, "isp");
  out += std::to_string(r.location.isp);
  AppendMember(&out, "dialback");
  AppendEscaped(&out, OutcomeName(r.dialback));
  if (r.dialback == DialbackOutcome::kOk) {
    AppendMember(&out, "dialbackMs");
    out += std::to_string(r.dialback_ms);
  }
  out.push_back('}');
  return out;
}

}  // namespace palvexd
