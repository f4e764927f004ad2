// What a log line is made of, shared by the logger that formats it and the sinks that write it:
// the levels, the time handed to sinks and the line buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovali {

// 0 silences everything; a statement of level L is emitted when the global level is >= L.
enum LogLevel : int { kLogNone = 0, kLogError = 1, kLogWarn = 2, kLogInfo = 3, kLogDebug = 4 };

extern const char* const kDefaultLogPattern;

// Broken-down local time handed to sinks; all zero when the pattern has no time placeholder.
struct LogTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// One formatted line. The text never exceeds kMaxLineLength bytes, which leaves room for the
// line feed a sink appends and for a terminating zero.
struct LogBuffer {
  static constexpr size_t kCapacity = 65536;
  static constexpr size_t kMaxLineLength = 0xfffe;
  char data[kCapacity];
  uint64_t length = 0;
};

}  // namespace tovali
