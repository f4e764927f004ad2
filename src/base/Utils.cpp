#include "base/Utils.h"

#include <unistd.h>

#include <cstdio>

#include "tovali/util/file_util.h"

namespace palvex {

const char* const kWhiteSpace = "\t\n\v\f\r ";

bool ReadFile(const std::string& path, std::string& out, size_t max_size) {
  int fd = tovali::OpenReadFile(path);
  if (fd < 0)
    return false;
  FILE* file = fdopen(fd, "rb");
  if (file == nullptr) {
    close(fd);
    return false;
  }
  char chunk[4096];
  bool ok = true;
  for (;;) {
    size_t n = std::fread(chunk, 1, sizeof(chunk), file);
    if (n > 0) {
      if (max_size != 0 && out.size() + n > max_size) {
        ok = false;
        break;
      }
      out.append(chunk, n);
    }
    if (n < sizeof(chunk)) {
      ok = std::ferror(file) == 0;
      break;
    }
  }
  std::fclose(file);
  return ok;
}

std::string Trim(const std::string& text, const std::string& chars) {
  size_t begin = text.find_first_not_of(chars);
  if (begin == std::string::npos)
    return std::string();
  size_t end = text.find_last_not_of(chars);
  return text.substr(begin, end - begin + 1);
}

std::vector<std::string> Split(const std::string& text, const std::string& separator,
                               bool skip_empty) {
  std::vector<std::string> pieces;
  if (separator.empty())
    return pieces;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    size_t end = at == std::string::npos ? text.size() : at;
    if (!skip_empty || end > start)
      pieces.push_back(text.substr(start, end - start));
    if (at == std::string::npos)
      break;
    start = at + separator.size();
  }
  return pieces;
}

void AppendJsonString(std::string* out, const std::string& text) {
  out->push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\b':
        out->append("\\b");
        break;
      case '\f':
        out->append("\\f");
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

bool WriteFile(const std::string& path, const std::string& bytes, bool append) {
  if (!append)
    return tovali::ReplaceFile(path, bytes.data(), bytes.size());
  int fd = tovali::OpenAppendFile(path);
  if (fd < 0)
    return false;
  const bool written = tovali::WriteAll(fd, bytes.data(), bytes.size()) == bytes.size();
  const bool closed = close(fd) == 0;
  return written && closed;
}

}  // namespace palvex
