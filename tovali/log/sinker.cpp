#include "tovali/log/sinker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "tovali/util/file_util.h"

namespace tovali {
namespace {

int ClampLevel(int level) {
  return level < 0 ? 0 : (level > 4 ? 4 : level);
}

uint64_t OpenFileSize(FILE* file) {
  struct stat st;
  if (fstat(fileno(file), &st) != 0)
    return 0;
  return static_cast<uint64_t>(st.st_size);
}

// Appending, never through a link and only to a regular file: the log may live in a shared /tmp.
FILE* OpenLogFile(const std::string& path) {
  int fd = OpenAppendFile(path);
  if (fd < 0)
    return nullptr;
  FILE* file = fdopen(fd, "ab");
  if (file == nullptr)
    close(fd);
  return file;
}

void SleepMs(long ms) {
  timespec want{ms / 1000, (ms % 1000) * 1000000L};
  timespec left;
  while (nanosleep(&want, &left) != 0 && errno == EINTR)
    want = left;
}

PatternToken::Kind PlaceholderKind(char c, bool* needs_time) {
  *needs_time = false;
  switch (c) {
    case 'v':
      return PatternToken::kMessage;
    case 't':
      return PatternToken::kThreadId;
    case 'n':
      return PatternToken::kName;
    case 'l':
      return PatternToken::kLevelName;
    case 'L':
      return PatternToken::kLevelLetter;
    case 's':
      return PatternToken::kSourceFile;
    case '#':
      return PatternToken::kSourceLine;
    default:
      break;
  }
  *needs_time = true;
  switch (c) {
    case 'Y':
      return PatternToken::kYear;
    case 'm':
      return PatternToken::kMonth;
    case 'd':
      return PatternToken::kDay;
    case 'H':
      return PatternToken::kHour;
    case 'M':
      return PatternToken::kMinute;
    case 'S':
      return PatternToken::kSecond;
    case 'e':
      return PatternToken::kMillisecond;
    default:
      break;
  }
  *needs_time = false;
  return PatternToken::kLiteral;
}

}  // namespace

// ---- Sinker

Sinker::Sinker(std::string pattern) {
  SetPattern(pattern);
}

void Sinker::SetLevel(int) {}

void Sinker::SetPattern(const std::string& pattern) {
  if (pattern == pattern_)
    return;
  std::vector<PatternToken> tokens;
  tokens.reserve(pattern.size());
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c != '%' || i + 1 == pattern.size()) {
      tokens.push_back({PatternToken::kLiteral, c});
      continue;
    }
    char next = pattern[++i];
    if (next == '%') {
      tokens.push_back({PatternToken::kLiteral, '%'});
      continue;
    }
    bool needs_time = false;
    PatternToken::Kind kind = PlaceholderKind(next, &needs_time);
    if (kind == PatternToken::kLiteral) {
      tokens.push_back({PatternToken::kLiteral, '%'});
      tokens.push_back({PatternToken::kLiteral, next});
      continue;
    }
    if (needs_time)
      needs_time_ = true;
    tokens.push_back({kind, 0});
  }
  pattern_ = pattern;
  tokens_ = std::move(tokens);
}

// ---- ConsoleSinker

ConsoleSinker::ConsoleSinker(std::string pattern, FILE* stream)
    : Sinker(std::move(pattern)), stream_(stream) {}

ConsoleSinker::~ConsoleSinker() {
  std::fflush(stream_);
}

void ConsoleSinker::SetLevel(int level) {
  level_ = ClampLevel(level);
}

void ConsoleSinker::Write(int level, const char*, const LogTime*, LogBuffer* buffer) {
  buffer->data[buffer->length] = '\n';
  std::fwrite(buffer->data, 1, buffer->length + 1, stream_);
  if (level_ >= level)
    std::fflush(stream_);
}

// ---- FileSinker

FileSinker::FileSinker(std::string pattern) : Sinker(std::move(pattern)) {}

FileSinker::~FileSinker() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

bool FileSinker::Open(const std::string& directory, const std::string& file_name, uint64_t max_size,
                      uint64_t max_files) {
  std::string path = directory;
  for (char& c : path) {
    if (c == '\\')
      c = '/';
  }
  if (!path.empty() && path.back() != '/')
    path += '/';
  path += file_name;

  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  file_ = OpenLogFile(path);
  if (file_ == nullptr)
    return false;
  path_ = path;
  size_ = OpenFileSize(file_);
  max_size_ = max_size == 0 ? 1048576 : max_size;
  max_files_ = max_files;
  return true;
}

void FileSinker::SetLevel(int level) {
  level_ = ClampLevel(level);
}

void FileSinker::Write(int level, const char*, const LogTime*, LogBuffer* buffer) {
  buffer->data[buffer->length] = '\n';
  const uint64_t n = buffer->length + 1;
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr)
    return;
  RotateIfNeeded(n);
  if (file_ == nullptr)
    return;
  std::fwrite(buffer->data, 1, n, file_);
  size_ += n;
  if (level_ >= level)
    std::fflush(file_);
}

void FileSinker::RotateIfNeeded(uint64_t n) {
  if (size_ + n < max_size_)
    return;
  std::fclose(file_);
  file_ = nullptr;
  if (max_files_ == 0) {
    std::remove(path_.c_str());
  } else {
    for (uint64_t i = max_files_; i >= 1; --i) {
      std::string src = RotatedFileName(path_, i - 1);
      if (!FileExists(src))
        continue;
      std::string target = RotatedFileName(path_, i);
      std::remove(target.c_str());
      if (std::rename(src.c_str(), target.c_str()) == 0)
        continue;
      // Something may hold the target for a moment; try once more, then give up on the live file
      // so that it cannot grow past its limit.
      SleepMs(100);
      std::remove(target.c_str());
      if (std::rename(src.c_str(), target.c_str()) != 0) {
        std::remove(path_.c_str());
        break;
      }
    }
  }
  ReopenLocked();
}

void FileSinker::ReopenLocked() {
  file_ = OpenLogFile(path_);
  if (file_ != nullptr)
    size_ = OpenFileSize(file_);
}

std::string RotatedFileName(const std::string& path, size_t index) {
  if (index == 0)
    return path;
  std::string base = path;
  std::string extension;
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && dot != 0 && dot + 1 != path.size()) {
    size_t sep = path.find_last_of("/\\");
    bool dot_in_directory_or_hidden = sep != std::string::npos && sep + 1 >= dot;
    if (!dot_in_directory_or_hidden) {
      base = path.substr(0, dot);
      extension = path.substr(dot);
    }
  }
  char buf[2048];
  std::snprintf(buf, sizeof(buf), "%s.%zu%s", base.c_str(), index, extension.c_str());
  return std::string(buf);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace tovali
