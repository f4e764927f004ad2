// A log sink that keeps every line it receives, for asserting exact log output, and a guard that
// installs it as the only sink of the global logger for the length of a test.
//
//   tovali_test::LogCapture capture;  // level debug, pattern "%v"
//   RunSomething();
//   EXPECT_THAT(capture.sink->Texts(), testing::ElementsAre("[TCP] CREATE"));
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tovali/log/logger.h"
#include "tovali/log/sinker.h"

namespace tovali_test {

class RecordingSink : public tovali::Sinker {
 public:
  struct Line {
    int level = 0;
    std::string name;
    tovali::LogTime time;
    std::string text;  // exactly the formatted bytes, without the line feed
  };

  explicit RecordingSink(std::string pattern = "%v") : Sinker(std::move(pattern)) {}

  void SetLevel(int level) override {
    std::lock_guard<std::mutex> lock(mutex_);
    level_ = level;
  }

  // Also checks the buffer contract: the text is zero-terminated at its length.
  void Write(int level, const char* name, const tovali::LogTime* time,
             tovali::LogBuffer* buffer) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Line line;
    line.level = level;
    line.name = name;
    line.time = *time;
    line.text.assign(buffer->data, buffer->length);
    terminated_ = terminated_ &&
                  (buffer->data[buffer->length] == '\0' || buffer->data[buffer->length] == '\n');
    lines_.push_back(std::move(line));
  }

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  std::vector<std::string> Texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const Line& line : lines_)
      texts.push_back(line.text);
    return texts;
  }

  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

  // False once a buffer arrived without its terminator (or the previous sink's line feed).
  bool AllTerminated() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return terminated_;
  }

  int level() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return level_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
  int level_ = 2;
  bool terminated_ = true;
};

// Saves the global logger's sinks, level and name, and puts them back when destroyed.
class LoggerStateGuard {
 public:
  LoggerStateGuard()
      : sinkers_(tovali::GetLogSinkers()),
        level_(tovali::GetLogLevel()),
        name_(tovali::GetLoggerName()) {}
  ~LoggerStateGuard() {
    tovali::SetLogSinkers(sinkers_);
    tovali::SetLogLevel(level_);
    tovali::g_logger->name_ = name_;
  }

  LoggerStateGuard(const LoggerStateGuard&) = delete;
  LoggerStateGuard& operator=(const LoggerStateGuard&) = delete;

 private:
  std::vector<std::shared_ptr<tovali::Sinker>> sinkers_;
  int level_;
  std::string name_;
};

// Makes one RecordingSink the only sink and sets the level; restores everything at scope end.
class LogCapture {
 public:
  explicit LogCapture(int level = tovali::kLogDebug, std::string pattern = "%v")
      : sink(std::make_shared<RecordingSink>(std::move(pattern))) {
    tovali::SetLogSinkers({sink});
    tovali::SetLogLevel(level);
  }

  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

 private:
  LoggerStateGuard guard_;  // constructed first, so it saves the state before the change

 public:
  std::shared_ptr<RecordingSink> sink;
};

}  // namespace tovali_test
