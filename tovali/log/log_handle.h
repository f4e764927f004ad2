// What an object logs with: its tag, written first on each of its lines, the logger name, and
// whether it logs at all (its owner may have made it quiet). Call sites then pass none of the
// three and test no switch: HLOG_INFO(log_, "CREATE") writes "<tag> CREATE".
#pragma once

#include <string>
#include <utility>

#include "tovali/log/logger.h"

namespace tovali {

class LogHandle {
 public:
  LogHandle() = default;
  explicit LogHandle(std::string tag, bool enabled = true, std::string name = std::string())
      : tag_(std::move(tag)), name_(std::move(name)), enabled_(enabled) {}

  const std::string& tag() const { return tag_; }
  // The logger name; empty stands for the logger's own.
  const std::string& name() const { return name_; }
  bool enabled() const { return enabled_; }

 private:
  std::string tag_;
  std::string name_;
  bool enabled_ = true;
};

}  // namespace tovali

// The statement through `logger` for `handle`; `format` is a string literal.
#define TOVALI_HLOG_TO(logger, handle, level, format, ...)                      \
  do {                                                                          \
    const ::tovali::LogHandle& tovali_handle_ = (handle);                       \
    if (tovali_handle_.enabled())                                               \
      TOVALI_LOG_TO(logger, level, tovali_handle_.name().c_str(), "%s " format, \
                    tovali_handle_.tag().c_str(), ##__VA_ARGS__);               \
  } while (0)

#define TOVALI_HLOG(handle, level, format, ...) \
  TOVALI_HLOG_TO(::tovali::g_logger, handle, level, format, ##__VA_ARGS__)

#define HLOG_ERROR(handle, format, ...) \
  TOVALI_HLOG(handle, ::tovali::kLogError, format, ##__VA_ARGS__)
#define HLOG_WARN(handle, format, ...) \
  TOVALI_HLOG(handle, ::tovali::kLogWarn, format, ##__VA_ARGS__)
#define HLOG_INFO(handle, format, ...) \
  TOVALI_HLOG(handle, ::tovali::kLogInfo, format, ##__VA_ARGS__)
#define HLOG_DEBUG(handle, format, ...) \
  TOVALI_HLOG(handle, ::tovali::kLogDebug, format, ##__VA_ARGS__)
