#include "tovali/log/logger.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tovali/log/sinker.h"
#include "tovali/util/utf8.h"

namespace tovali {

const char* const kDefaultLogPattern = "%Y-%m-%d %H:%M:%S.%e\t%t\t%L %n: %v\t%s:%#";

namespace {

// Atomic: detached lookup workers read it, and nothing orders their reads before a change.
std::atomic<int> g_log_level{kLogNone};

const char* const kLevelNames[] = {"none", "error", "warn", "info", "debug"};
const char kLevelLetters[] = "NEWID";

int CurrentThreadId() {
  static thread_local int tid = static_cast<int>(syscall(SYS_gettid));
  return tid;
}

int ClampLevel(int level) {
  return level < 0 ? 0 : (level > 4 ? 4 : level);
}

void ReadClock(LogTime* out) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  tm parts;
  time_t seconds = tv.tv_sec;
  localtime_r(&seconds, &parts);
  out->year = parts.tm_year + 1900;
  out->month = parts.tm_mon + 1;
  out->day = parts.tm_mday;
  out->hour = parts.tm_hour;
  out->minute = parts.tm_min;
  out->second = parts.tm_sec;
  out->millisecond = static_cast<int>(tv.tv_usec / 1000);
}

// Appends into the buffer's remaining room; returns false when the message formatting failed.
class LineWriter {
 public:
  explicit LineWriter(LogBuffer* buffer) : buffer_(buffer) { buffer_->length = 0; }

  size_t Room() const { return LogBuffer::kMaxLineLength - buffer_->length; }
  char* End() { return buffer_->data + buffer_->length; }

  void Char(char c) {
    if (Room() >= 1)
      buffer_->data[buffer_->length++] = c;
  }

  void Text(const char* text) {
    size_t n = std::strlen(text);
    if (Room() >= n) {
      std::memcpy(End(), text, n);
      buffer_->length += n;
    }
  }

  // Cut to the room when too long, like the message.
  void Number(int value) {
    size_t room = Room();
    if (room < 1)
      return;
    int n = std::snprintf(End(), room, "%d", value);
    if (n > 0)
      Grow(static_cast<size_t>(n), room);
  }

  void Digits(int value, int width, int modulo) {
    if (Room() < static_cast<size_t>(width))
      return;
    int v = value % modulo;
    for (int i = width - 1; i >= 0; --i) {
      End()[i] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
    buffer_->length += static_cast<size_t>(width);
  }

  bool Message(const char* format, va_list args) {
    size_t room = Room();
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(End(), room, format, copy);
    va_end(copy);
    if (n < 0)
      return false;
    if (room > 0) {
      const size_t start = buffer_->length;
      Grow(static_cast<size_t>(n), room);
      if (static_cast<size_t>(n) >= room)
        DropCutCharacter(start);
    }
    return true;
  }

  // Text from outside (a peer's reply in a %s) may hold bytes that are not UTF-8: the line is
  // repaired once, here, for every sink. A well-formed line costs one scan.
  void MakeValidUtf8() {
    buffer_->length =
        SanitizeUtf8InPlace(buffer_->data, buffer_->length, LogBuffer::kMaxLineLength);
  }

  void Terminate() { buffer_->data[buffer_->length] = '\0'; }

 private:
  void Grow(size_t printed, size_t room) { buffer_->length += printed < room ? printed : room - 1; }

  // A message cut through a multi-byte character ends before that character instead of with its
  // first bytes, which would show as U+FFFD.
  void DropCutCharacter(size_t start) {
    const auto* text = reinterpret_cast<const unsigned char*>(buffer_->data);
    size_t end = buffer_->length;
    size_t lead = end;
    while (lead > start && end - lead < 4 && (text[lead - 1] & 0xc0) == 0x80)
      --lead;
    if (lead == start || text[lead - 1] < 0xc0)
      return;  // ends in ASCII, or in continuation bytes with no lead: left to the repair
    --lead;
    size_t need = text[lead] >= 0xf0 ? 4 : (text[lead] >= 0xe0 ? 3 : 2);
    if (end - lead < need)
      buffer_->length = lead;
  }

  LogBuffer* buffer_;
};

}  // namespace

std::shared_ptr<Logger> g_logger = std::make_shared<Logger>(std::vector<std::shared_ptr<Sinker>>());

Logger::Logger(std::vector<std::shared_ptr<Sinker>> sinkers)
    : name_("tovali"), sinkers_(std::move(sinkers)) {
  if (sinkers_.empty()) {
    auto console = std::make_shared<ConsoleSinker>(kDefaultLogPattern);
    console->SetLevel(kLogWarn);
    sinkers_.push_back(std::move(console));
  }
}

Logger::~Logger() = default;

void Logger::Log(int level, const char* name, const char* file, int line, const char* format, ...) {
  if (name == nullptr || name[0] == '\0')
    name = name_.c_str();
  const int letter_index = ClampLevel(level);
  LogBuffer buffer;
  LogTime time;  // what the current line was formatted with
  const Sinker* previous = nullptr;
  for (const std::shared_ptr<Sinker>& sink : sinkers_) {
    if (previous != nullptr && previous->pattern_ == sink->pattern_) {
      // Same pattern as the sink before: reuse its line and its clock reading. The sink put a
      // line feed at buffer.length; nothing else changed.
      sink->Write(level, name, &time, &buffer);
      previous = sink.get();
      continue;
    }
    time = LogTime();
    if (sink->needs_time_)
      ReadClock(&time);
    LineWriter out(&buffer);
    for (const PatternToken& token : sink->tokens_) {
      switch (token.kind) {
        case PatternToken::kLiteral:
          out.Char(token.ch);
          break;
        case PatternToken::kMessage: {
          va_list args;
          va_start(args, format);
          bool ok = out.Message(format, args);
          va_end(args);
          if (!ok)
            return;
          break;
        }
        case PatternToken::kThreadId:
          out.Number(CurrentThreadId());
          break;
        case PatternToken::kName:
          out.Text(name);
          break;
        case PatternToken::kLevelName:
          out.Text(kLevelNames[letter_index]);
          break;
        case PatternToken::kLevelLetter:
          out.Char(kLevelLetters[letter_index]);
          break;
        case PatternToken::kYear:
          out.Digits(time.year, 4, 10000);
          break;
        case PatternToken::kMonth:
          out.Digits(time.month, 2, 100);
          break;
        case PatternToken::kDay:
          out.Digits(time.day, 2, 100);
          break;
        case PatternToken::kHour:
          out.Digits(time.hour, 2, 100);
          break;
        case PatternToken::kMinute:
          out.Digits(time.minute, 2, 100);
          break;
        case PatternToken::kSecond:
          out.Digits(time.second, 2, 100);
          break;
        case PatternToken::kMillisecond:
          out.Digits(time.millisecond, 3, 1000);
          break;
        case PatternToken::kSourceFile:
          out.Text(file);
          break;
        case PatternToken::kSourceLine:
          out.Number(line);
          break;
      }
    }
    out.MakeValidUtf8();
    out.Terminate();
    sink->Write(level, name, &time, &buffer);
    previous = sink.get();
  }
}

void SetLogLevel(int level) {
  g_log_level.store(ClampLevel(level), std::memory_order_relaxed);
}
int GetLogLevel() {
  return g_log_level.load(std::memory_order_relaxed);
}

void SetLogSinkers(std::vector<std::shared_ptr<Sinker>> sinkers) {
  g_logger->sinkers_ = std::move(sinkers);
}

const std::vector<std::shared_ptr<Sinker>>& GetLogSinkers() {
  return g_logger->sinkers_;
}

void SetLoggerName(std::string name) {
  if (!name.empty())
    g_logger->name_ = std::move(name);
}

const std::string& GetLoggerName() {
  return g_logger->name_;
}

std::shared_ptr<Logger> CopyGlobalLogger() {
  auto copy = std::make_shared<Logger>(g_logger->sinkers_);
  copy->sinkers_ = g_logger->sinkers_;  // no default console sink for an empty list
  copy->name_ = g_logger->name_;
  return copy;
}

bool InitLogger(const std::string& path) {
  std::string directory;
  std::string file_name;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    directory = "/tmp";
    file_name = path;
  } else {
    // A file directly under the root keeps its root, or it would land in the working directory.
    directory = slash == 0 ? "/" : path.substr(0, slash);
    file_name = path.substr(slash + 1);
  }
  auto sink = std::make_shared<FileSinker>(kDefaultLogPattern);
  if (!sink->Open(directory, file_name, 1048576, 0))
    return false;
  // The level is raised only once the file is open: a failed start must not leave debug lines
  // flowing to the console sink, whose output shares standard output with the program's report.
  SetLogLevel(kLogDebug);
  sink->SetLevel(kLogDebug);
  SetLogSinkers({sink});
  return true;
}

}  // namespace tovali
