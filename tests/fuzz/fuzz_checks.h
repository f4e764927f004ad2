// Checks shared by the fuzz targets, written apart from the code they check (by code-point
// arithmetic, not by the library's byte tables), so that one mistake cannot hide in both.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace palvex_fuzz {

// The checks are not what is being explored: no coverage feedback from them, which would also
// cost more than the code under test.
#define FUZZ_CHECKER __attribute__((no_sanitize("coverage")))

// A broken property: say which, and crash so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

inline const uint32_t kMinCodePoint[] = {0, 0, 0x80, 0x800, 0x10000};  // by sequence length

FUZZ_CHECKER inline int SequenceLength(unsigned char lead) {
  if (lead < 0x80)
    return 1;
  if (lead >= 0xc2 && lead <= 0xdf)
    return 2;
  if (lead >= 0xe0 && lead <= 0xef)
    return 3;
  if (lead >= 0xf0 && lead <= 0xf4)
    return 4;
  return 0;  // starts nothing
}

// Whether some code point of a `length`-byte sequence has `bits` as its leading bits, with
// `rest` continuation bytes still to come: not overlong, not a surrogate, at most 10FFFF.
FUZZ_CHECKER inline bool CanComplete(uint32_t bits, int rest, int length) {
  uint32_t low = std::max(bits << (6 * rest), kMinCodePoint[length]);
  uint32_t high = std::min((bits << (6 * rest)) | ((1u << (6 * rest)) - 1), 0x10ffffu);
  return low <= high && !(low >= 0xd800 && high <= 0xdfff);
}

// Unicode's "U+FFFD substitution of maximal subparts": each well-formed character copied, each
// maximal ill-formed subpart (the lead and the bytes that could still complete it) one U+FFFD.
// Writes the result to `out` unless it is null; returns whether `in` was well-formed (without
// `out`, as soon as it knows).
FUZZ_CHECKER inline bool Repair(std::string_view in, std::string* out) {
  bool well_formed = true;
  size_t i = 0;
  while (i < in.size()) {
    size_t ascii = i;
    while (ascii < in.size() && static_cast<unsigned char>(in[ascii]) < 0x80)
      ++ascii;
    if (out != nullptr)
      out->append(in.substr(i, ascii - i));
    i = ascii;
    if (i == in.size())
      break;
    const auto lead = static_cast<unsigned char>(in[i]);
    const int length = SequenceLength(lead);
    int taken = 1;
    if (length > 1) {
      uint32_t bits = lead & (0x7f >> length);
      while (taken < length && i + static_cast<size_t>(taken) < in.size()) {
        const auto next = static_cast<unsigned char>(in[i + static_cast<size_t>(taken)]);
        uint32_t more = (bits << 6) | (next & 0x3f);
        if ((next & 0xc0) != 0x80 || !CanComplete(more, length - taken - 1, length))
          break;
        bits = more;
        ++taken;
      }
    }
    if (length > 0 && taken == length) {
      if (out != nullptr)
        out->append(in.substr(i, static_cast<size_t>(length)));
    } else {
      well_formed = false;
      if (out == nullptr)
        return false;
      out->append("\xef\xbf\xbd");
    }
    i += static_cast<size_t>(taken);
  }
  return well_formed;
}

FUZZ_CHECKER inline std::string ReferenceRepair(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  Repair(in, &out);
  return out;
}

FUZZ_CHECKER inline bool IsUtf8(std::string_view text) {
  return Repair(text, nullptr);
}

FUZZ_CHECKER inline void AppendUtf8(std::string* out, uint32_t code_point) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xc0 | (code_point >> 6)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | (code_point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | (code_point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
  }
}

struct JsonMember {
  std::string key;
  bool is_string = false;
  std::string value;  // a string decoded, a number as written
};

// Reads one compact JSON object whose members are strings and numbers (RFC 8259 grammar, no
// white space anywhere, the whole text consumed). False on any deviation. Strings must decode to
// valid Unicode: a \u escape of a lone surrogate is rejected.
class CompactObjectReader {
 public:
  explicit CompactObjectReader(std::string_view text) : text_(text) {}

  FUZZ_CHECKER bool Read(std::vector<JsonMember>* members) {
    if (!Take('{'))
      return false;
    if (Take('}'))
      return pos_ == text_.size();
    do {
      JsonMember member;
      if (!String(&member.key) || !Take(':'))
        return false;
      if (Peek() == '"') {
        member.is_string = true;
        if (!String(&member.value))
          return false;
      } else if (!Number(&member.value)) {
        return false;
      }
      members->push_back(std::move(member));
    } while (Take(','));
    return Take('}') && pos_ == text_.size();
  }

 private:
  FUZZ_CHECKER char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  FUZZ_CHECKER bool Take(char c) {
    if (pos_ >= text_.size() || text_[pos_] != c)
      return false;
    ++pos_;
    return true;
  }
  FUZZ_CHECKER bool Digit() const { return Peek() >= '0' && Peek() <= '9'; }

  FUZZ_CHECKER bool Hex4(uint32_t* value) {
    if (text_.size() - pos_ < 4)
      return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[pos_++];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0)
        return false;
      *value = *value * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }

  FUZZ_CHECKER bool String(std::string* out) {
    if (!Take('"'))
      return false;
    while (pos_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"')
        return true;
      if (c < 0x20)
        return false;  // control characters must be escaped
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (pos_ >= text_.size())
        return false;
      const char e = text_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out->push_back(e);
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          uint32_t unit = 0;
          if (!Hex4(&unit) || (unit >= 0xdc00 && unit <= 0xdfff))
            return false;
          if (unit >= 0xd800 && unit <= 0xdbff) {
            uint32_t low = 0;
            if (!Take('\\') || !Take('u') || !Hex4(&low) || low < 0xdc00 || low > 0xdfff)
              return false;
            unit = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
          }
          AppendUtf8(out, unit);
          break;
        }
        default:
          return false;
      }
    }
    return false;  // no closing quote
  }

  FUZZ_CHECKER bool Number(std::string* out) {
    const size_t start = pos_;
    Take('-');
    if (!Take('0')) {
      if (!Digit())
        return false;
      while (Digit())
        ++pos_;
    }
    if (Take('.')) {
      if (!Digit())
        return false;
      while (Digit())
        ++pos_;
    }
    if (Take('e') || Take('E')) {
      if (!Take('+'))
        Take('-');
      if (!Digit())
        return false;
      while (Digit())
        ++pos_;
    }
    out->assign(text_.substr(start, pos_ - start));
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace palvex_fuzz
