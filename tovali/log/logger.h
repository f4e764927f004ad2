// Process-wide logger: levels, the log statement macros, and the line formatter.
//
// Logging is off until SetLogLevel raises the global level. Every statement tests the level at
// the call site first, so a suppressed statement evaluates no argument and formats nothing.
// Logger::Log may be called from any thread; the sink list and the level change only at
// start-up, before worker threads exist. A thread that may still run when main returns logs
// through a copy of its own (CopyGlobalLogger, TOVALI_HLOG_TO in log_handle.h), so that the logger
// and its sinks outlive the release of g_logger at exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tovali/log/log_line.h"

namespace tovali {

class Sinker;

class Logger {
 public:
  // An empty sink list gets one console sink with the default pattern, flushing at warn.
  explicit Logger(std::vector<std::shared_ptr<Sinker>> sinkers);
  virtual ~Logger();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Formats one line and hands it to every sink. Does not test the level again. An empty name
  // stands for the logger's own name. The line is well-formed UTF-8 whatever the arguments hold:
  // ill-formed bytes become U+FFFD (see tovali/util/utf8.h), and a cut never splits a character.
  void Log(int level, const char* name, const char* file, int line, const char* format, ...)
      __attribute__((format(printf, 6, 7)));

  std::string name_;
  std::vector<std::shared_ptr<Sinker>> sinkers_;
};

extern std::shared_ptr<Logger> g_logger;

// Stores the level clamped to 0..4.
void SetLogLevel(int level);
int GetLogLevel();

void SetLogSinkers(std::vector<std::shared_ptr<Sinker>> sinkers);
const std::vector<std::shared_ptr<Sinker>>& GetLogSinkers();
void SetLoggerName(std::string name);
const std::string& GetLoggerName();

// A new logger with the global logger's name and sinks (the same sink objects), for a thread that
// may still log after main returned: it keeps the sinks alive, and neither the release of
// g_logger at exit nor a later change of the global sink list touches it.
std::shared_ptr<Logger> CopyGlobalLogger();

// Points the logger at one file sink on `path` (a bare file name lands in /tmp), level debug.
// Returns false, leaving the logger as it was, when the file cannot be opened.
bool InitLogger(const std::string& path);

namespace log_detail {
// The base name of a source path without directories and extension, computed at compile time.
template <size_t N>
struct FileBase {
  char text[N];
};
template <size_t N>
constexpr FileBase<N> MakeFileBase(const char (&path)[N]) {
  FileBase<N> out{};
  size_t start = 0;
  for (size_t i = 0; i + 1 < N; ++i) {
    if (path[i] == '/' || path[i] == '\\')
      start = i + 1;
  }
  size_t end = N - 1;
  for (size_t i = start; i + 1 < N; ++i) {
    if (path[i] == '.') {
      end = i;
      break;
    }
  }
  size_t k = 0;
  for (size_t i = start; i < end; ++i)
    out.text[k++] = path[i];
  out.text[k] = '\0';
  return out;
}
}  // namespace log_detail

}  // namespace tovali

// The log statement through `logger` (a pointer to a Logger). `name` is the logger name argument
// ("" for the default name); the first format argument is by convention the object's log tag.
#define TOVALI_LOG_TO(logger, level, name, ...)                                              \
  do {                                                                                       \
    if (::tovali::GetLogLevel() >= (level)) {                                                \
      static constexpr auto tovali_log_file_ = ::tovali::log_detail::MakeFileBase(__FILE__); \
      (logger)->Log((level), (name), tovali_log_file_.text, __LINE__, __VA_ARGS__);          \
    }                                                                                        \
  } while (0)

// The log statement of the program: through the global logger.
#define TOVALI_LOG(level, name, ...) TOVALI_LOG_TO(::tovali::g_logger, level, name, __VA_ARGS__)

#define LOG_ERROR(name, ...) TOVALI_LOG(::tovali::kLogError, name, __VA_ARGS__)
#define LOG_WARN(name, ...) TOVALI_LOG(::tovali::kLogWarn, name, __VA_ARGS__)
#define LOG_INFO(name, ...) TOVALI_LOG(::tovali::kLogInfo, name, __VA_ARGS__)
#define LOG_DEBUG(name, ...) TOVALI_LOG(::tovali::kLogDebug, name, __VA_ARGS__)
