#include "server/DetectRecord.h"

#include "base/Utils.h"
#include "tovali/util/utf8.h"

namespace palvexd {
namespace {

void AppendMember(std::string* out, const char* key) {
  if (out->back() != '{')
    out->push_back(',');
  out->push_back('"');
  out->append(key);
  out->append("\":");
}

void AppendGrade(std::string* out, const GradeFacts& g) {
  AppendMember(out, "test");
  palvex::AppendJsonString(out, g.test);
  AppendMember(out, "nonce");
  palvex::AppendJsonString(out, g.nonce);
  if (std::string(g.test) != "grade")
    return;
  AppendMember(out, "otherAddress");
  palvex::AppendJsonString(out, OutcomeName(g.other_address));
  AppendMember(out, "otherPort");
  palvex::AppendJsonString(out, OutcomeName(g.other_port));
  AppendMember(out, "mapped");
  for (int i = 0; i < 3; ++i) {
    out->push_back(i == 0 ? '[' : ',');
    palvex::AppendJsonString(out, g.mapped[i]);
  }
  out->push_back(']');
  AppendMember(out, "nat");
  *out += std::to_string(g.verdict.nat);
  AppendMember(out, "mapping");
  palvex::AppendJsonString(out, palvex::NatBehaviourName(g.verdict.mapping));
  AppendMember(out, "filtering");
  palvex::AppendJsonString(out, palvex::NatBehaviourName(g.verdict.filtering));
  AppendMember(out, "natType");
  *out += std::to_string(g.verdict.nat_type);
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
  palvex::AppendJsonString(&out, r.peer);
  AppendMember(&out, "local");
  palvex::AppendJsonString(&out, r.local);
  AppendMember(&out, "version");
  out += std::to_string(r.version);
  AppendMember(&out, "identity");
  palvex::AppendJsonString(&out, r.identity);
  AppendMember(&out, "country");
  out += std::to_string(r.location.country);
  AppendMember(&out, "province");
  out += std::to_string(r.location.province);
  AppendMember(&out, "city");
  out += std::to_string(r.location.city);
  AppendMember(&out, "isp");
  out += std::to_string(r.location.isp);
  if (r.grade.test != nullptr) {
    AppendGrade(&out, r.grade);
    out.push_back('}');
    return out;
  }
  AppendMember(&out, "dialback");
  palvex::AppendJsonString(&out, OutcomeName(r.dialback));
  if (r.dialback == DialbackOutcome::kOk) {
    AppendMember(&out, "dialbackMs");
    out += std::to_string(r.dialback_ms);
  }
  out.push_back('}');
  return out;
}

}  // namespace palvexd
