#include "tovali/util/utf8.h"

#include <cstdint>
#include <cstring>

namespace tovali {
namespace {

constexpr char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD
constexpr size_t kReplacementSize = 3;

// At p (avail > 0 bytes left): n > 0 for a well-formed character of n bytes, or -k for a maximal
// ill-formed subpart of k bytes. The ranges are those of Unicode's table of well-formed byte
// sequences: only the second byte has ranges of its own, which exclude overlong forms (after E0
// and F0), surrogates (after ED) and code points above 10FFFF (after F4).
int Step(const unsigned char* p, size_t avail) {
  const unsigned int lead = p[0];
  if (lead < 0x80)
    return 1;
  int trail = 0;
  unsigned int low = 0x80;
  unsigned int high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    trail = 1;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    trail = 2;
    if (lead == 0xe0)
      low = 0xa0;
    else if (lead == 0xed)
      high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    trail = 3;
    if (lead == 0xf0)
      low = 0x90;
    else if (lead == 0xf4)
      high = 0x8f;
  } else {
    return -1;  // cannot start a character
  }
  for (int i = 1; i <= trail; ++i) {
    if (static_cast<size_t>(i) >= avail || p[i] < low || p[i] > high)
      return -i;  // the lead and the bytes that still fitted
    low = 0x80;
    high = 0xbf;
  }
  return trail + 1;
}

}  // namespace

size_t Utf8ValidPrefix(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    // Runs of ASCII, the usual case, eight bytes at a time.
    while (size - i >= 8) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ull) != 0)
        break;
      i += 8;
    }
    if (i == size)
      break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    int n = Step(p + i, size - i);
    if (n < 0)
      return i;
    i += static_cast<size_t>(n);
  }
  return size;
}

std::string SanitizeUtf8(std::string_view text) {
  size_t valid = Utf8ValidPrefix(text);
  std::string out(text.substr(0, valid));
  if (valid == text.size())
    return out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = valid; i < text.size();) {
    int n = Step(p + i, text.size() - i);
    if (n > 0) {
      out.append(text.data() + i, static_cast<size_t>(n));
      i += static_cast<size_t>(n);
    } else {
      out.append(kReplacement, kReplacementSize);
      i += static_cast<size_t>(-n);
    }
  }
  return out;
}

size_t SanitizeUtf8InPlace(char* data, size_t size, size_t capacity) {
  const size_t valid = Utf8ValidPrefix(std::string_view(data, size));
  if (valid == size)
    return size;
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  // First pass: how much of the rest fits once repaired. Well-formed runs keep their length.
  size_t in_end = valid;
  size_t out_end = valid;
  while (in_end < size) {
    size_t run = Utf8ValidPrefix(std::string_view(data + in_end, size - in_end));
    if (run > capacity - out_end) {
      size_t room = capacity - out_end;
      size_t taken = 0;
      for (int n; taken + static_cast<size_t>(n = Step(p + in_end + taken, run - taken)) <= room;)
        taken += static_cast<size_t>(n);
      in_end += taken;
      out_end += taken;
      break;
    }
    in_end += run;
    out_end += run;
    if (in_end == size || capacity - out_end < kReplacementSize)
      break;
    in_end += static_cast<size_t>(-Step(p + in_end, size - in_end));
    out_end += kReplacementSize;
  }
  // Second pass: move the bytes that stay so that they end where the repaired text will end,
  // then rewrite them forward from `valid`. A piece never comes out shorter than it went in, so
  // the writing position never passes the reading one and no unread byte is overwritten.
  // Within [read, out_end) the pieces split exactly as in the first pass.
  const size_t kept = in_end - valid;
  size_t read = out_end - kept;
  std::memmove(data + read, data + valid, kept);
  size_t write = valid;
  while (read < out_end) {
    size_t run = Utf8ValidPrefix(std::string_view(data + read, out_end - read));
    std::memmove(data + write, data + read, run);
    write += run;
    read += run;
    if (read == out_end)
      break;
    read += static_cast<size_t>(-Step(p + read, out_end - read));  // read before overwritten
    std::memcpy(data + write, kReplacement, kReplacementSize);
    write += kReplacementSize;
  }
  return write;
}

}  // namespace tovali
