// Log sinks: each receives formatted lines from the Logger and writes them out. A sink's level
// decides when it flushes: a line at least as severe as the level is flushed at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "tovali/log/log_line.h"

namespace tovali {

struct PatternToken {
  enum Kind : int {
    kLiteral,
    kMessage,
    kThreadId,
    kName,
    kLevelName,
    kLevelLetter,
    kYear,
    kMonth,
    kDay,
    kHour,
    kMinute,
    kSecond,
    kMillisecond,
    kSourceFile,
    kSourceLine,
  };
  int kind = kLiteral;
  char ch = 0;
};

class Sinker {
 public:
  explicit Sinker(std::string pattern);
  virtual ~Sinker() = default;

  Sinker(const Sinker&) = delete;
  Sinker& operator=(const Sinker&) = delete;

  virtual void SetLevel(int level);
  // Writes one line; the sink appends the line feed at buffer->length.
  virtual void Write(int level, const char* name, const LogTime* time, LogBuffer* buffer) = 0;

  // Compiles `pattern` into tokens; an identical pattern is a no-op.
  void SetPattern(const std::string& pattern);

  std::string pattern_;
  std::vector<PatternToken> tokens_;
  bool needs_time_ = false;
};

// Writes to standard output (or another C stream, such as stderr for a program whose standard
// output carries data), one fwrite per line.
class ConsoleSinker : public Sinker {
 public:
  explicit ConsoleSinker(std::string pattern, FILE* stream = stdout);
  ~ConsoleSinker() override;

  void SetLevel(int level) override;
  void Write(int level, const char* name, const LogTime* time, LogBuffer* buffer) override;

  int level_ = 2;

 private:
  FILE* stream_;
};

// Appends to a file and rotates it by size. Write may run on any thread. The file is opened
// with OpenAppendFile (file_util.h): a link or anything but a regular file at its path means no
// file, at Open as after a rotation.
class FileSinker : public Sinker {
 public:
  explicit FileSinker(std::string pattern);
  ~FileSinker() override;

  // Opens directory/file_name for appending and continues counting from its size. A max size
  // of 0 means 1 MiB. Called at start-up only.
  bool Open(const std::string& directory, const std::string& file_name, uint64_t max_size,
            uint64_t max_files);

  void SetLevel(int level) override;
  void Write(int level, const char* name, const LogTime* time, LogBuffer* buffer) override;

  std::string path_;
  FILE* file_ = nullptr;
  std::mutex mutex_;
  uint64_t size_ = 0;
  uint64_t max_size_ = 0;
  uint64_t max_files_ = 0;
  int level_ = 2;

 private:
  void RotateIfNeeded(uint64_t n);
  void ReopenLocked();
};

// "dir/name.log" with index 1 -> "dir/name.1.log"; index 0 gives the path unchanged.
std::string RotatedFileName(const std::string& path, size_t index);
// True when something, a link included, exists at `path` (lstat: a link is not followed).
bool FileExists(const std::string& path);

}  // namespace tovali
