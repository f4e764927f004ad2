#include "server/DetectRecord.h"

#include <cstdio>
#include <ctime>

namespace palvexd {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence at p (RFC 3629), or 0 with *skip set to the length of the
// maximal invalid subpart to replace.
size_t ValidSequence(const unsigned char* p, size_t left, size_t* skip) {
  unsigned char c = p[0];
  *skip = 1;
  if (c < 0x80)
    return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    if (c == 0xE0)
      lo = 0xA0;  // no overlongs
    if (c == 0xED)
      hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    if (c == 0xF0)
      lo = 0x90;
    if (c == 0xF4)
      hi = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;  // continuation byte, C0, C1, F5..FF
  }
  for (size_t i = 1; i < need; ++i) {
    if (i >= left)
      return 0;
    unsigned char b = p[i];
    unsigned char min = i == 1 ? lo : 0x80;
    unsigned char max = i == 1 ? hi : 0xBF;
    if (b < min || b > max)
      return 0;
    *skip = i + 1;
  }
  return need;
}

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

int64_t RealTimeSeconds() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec);
}

std::string SanitizeIdentity(const std::string& bytes, size_t max_bytes) {
  std::string out;
  out.reserve(bytes.size() < max_bytes ? bytes.size() : max_bytes);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t left = bytes.size();
  while (left > 0) {
    size_t skip = 0;
    size_t n = ValidSequence(p, left, &skip);
    if (n > 0) {
      if (out.size() + n > max_bytes)
        break;
      out.append(reinterpret_cast<const char*>(p), n);
      p += n;
      left -= n;
    } else {
      if (out.size() + 3 > max_bytes)
        break;
      out.append(kReplacement, 3);
      p += skip;
      left -= skip;
    }
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
