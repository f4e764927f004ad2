#include "tovali/log/logger.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/recording_sink.h"
#include "support/temp_dir.h"
#include "tovali/log/sinker.h"

namespace tovali {
namespace {

using testing::ElementsAre;
using tovali_test::LogCapture;
using tovali_test::LoggerStateGuard;
using tovali_test::RecordingSink;
using tovali_test::TempDir;

int ThisThreadId() {
  return static_cast<int>(syscall(SYS_gettid));
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Stamp(const LogTime& t) {
  char text[128];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

bool IsZero(const LogTime& t) {
  return t.year == 0 && t.month == 0 && t.day == 0 && t.hour == 0 && t.minute == 0 &&
         t.second == 0 && t.millisecond == 0;
}

bool SameTime(const LogTime& a, const LogTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
         a.minute == b.minute && a.second == b.second && a.millisecond == b.millisecond;
}

// ---- Line layout

TEST(LoggerFormat, DefaultPatternGivesDocumentedLayout) {
  LogCapture capture(kLogDebug, kDefaultLogPattern);
  const time_t before = std::time(nullptr);
  const int line = __LINE__ + 1;
  LOG_WARN("", "value=%d text=%s", 42, "abc");
  const time_t after = std::time(nullptr);

  std::vector<RecordingSink::Line> lines = capture.sink->Lines();
  ASSERT_EQ(lines.size(), 1u);
  const LogTime& t = lines[0].time;
  EXPECT_EQ(lines[0].text,
            Stamp(t) + "\t" + std::to_string(ThisThreadId()) +
                "\tW tovali: value=42 text=abc\tlogger_test:" + std::to_string(line));
  EXPECT_EQ(lines[0].level, kLogWarn);
  EXPECT_EQ(lines[0].name, "tovali");
  EXPECT_TRUE(capture.sink->AllTerminated());

  // The stamp is the local wall-clock time of the statement.
  tm parts{};
  parts.tm_year = t.year - 1900;
  parts.tm_mon = t.month - 1;
  parts.tm_mday = t.day;
  parts.tm_hour = t.hour;
  parts.tm_min = t.minute;
  parts.tm_sec = t.second;
  parts.tm_isdst = -1;
  const time_t logged = std::mktime(&parts);
  EXPECT_GE(logged, before);
  EXPECT_LE(logged, after);
  EXPECT_GE(t.millisecond, 0);
  EXPECT_LE(t.millisecond, 999);
}

TEST(LoggerFormat, LevelNamesAndLetters) {
  LogCapture capture(kLogDebug, "%l %L");
  LOG_ERROR("", "x");
  LOG_WARN("", "x");
  LOG_INFO("", "x");
  LOG_DEBUG("", "x");
  g_logger->Log(kLogNone, "", "f", 1, "x");
  EXPECT_THAT(capture.sink->Texts(),
              ElementsAre("error E", "warn W", "info I", "debug D", "none N"));
}

TEST(LoggerFormat, PlaceholdersWithoutTimeLeaveTimeZero) {
  LogCapture capture(kLogDebug, "[%n|%s|%#|%t|%v]");
  const int line = __LINE__ + 1;
  LOG_INFO("net", "m%d", 1);
  std::vector<RecordingSink::Line> lines = capture.sink->Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "[net|logger_test|" + std::to_string(line) + "|" +
                               std::to_string(ThisThreadId()) + "|m1]");
  EXPECT_EQ(lines[0].name, "net");
  EXPECT_TRUE(IsZero(lines[0].time));
}

TEST(LoggerFormat, TimePlaceholdersFollowTheClockReading) {
  LogCapture capture(kLogDebug, "%Y|%m|%d|%H|%M|%S|%e");
  LOG_INFO("", "x");
  std::vector<RecordingSink::Line> lines = capture.sink->Lines();
  ASSERT_EQ(lines.size(), 1u);
  const LogTime& t = lines[0].time;
  char expected[128];
  std::snprintf(expected, sizeof(expected), "%04d|%02d|%02d|%02d|%02d|%02d|%03d", t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.millisecond);
  EXPECT_EQ(lines[0].text, expected);
  EXPECT_GE(t.year, 2024);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
}

TEST(LoggerFormat, EachMessageTokenStartsFromTheFirstArgument) {
  LogCapture capture(kLogDebug, "%v-%v");
  LOG_INFO("", "%d%s", 7, "z");
  EXPECT_THAT(capture.sink->Texts(), ElementsAre("7z-7z"));
}

TEST(LoggerFormat, SourceFileIsTheBaseNameWithoutExtension) {
  EXPECT_STREQ(log_detail::MakeFileBase("src/main/Context.cpp").text, "Context");
  EXPECT_STREQ(log_detail::MakeFileBase("/a/b.d/tcp_listener.cpp").text, "tcp_listener");
  EXPECT_STREQ(log_detail::MakeFileBase("dir\\event_loop.cpp").text, "event_loop");
  EXPECT_STREQ(log_detail::MakeFileBase("main.cpp").text, "main");
  EXPECT_STREQ(log_detail::MakeFileBase("a/noext").text, "noext");
}

// ---- Patterns with percent signs

struct PercentCase {
  const char* pattern;
  const char* expected;
};

void PrintTo(const PercentCase& c, std::ostream* os) {
  *os << '"' << c.pattern << '"';
}

class LoggerPercent : public testing::TestWithParam<PercentCase> {};

TEST_P(LoggerPercent, FormatsAsLiteralOrPlaceholder) {
  LogCapture capture(kLogDebug, GetParam().pattern);
  LOG_INFO("", "msg");
  EXPECT_THAT(capture.sink->Texts(), ElementsAre(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Patterns, LoggerPercent,
                         testing::Values(PercentCase{"abc%", "abc%"}, PercentCase{"%", "%"},
                                         PercentCase{"%q%v", "%qmsg"}, PercentCase{"%%v", "%v"},
                                         PercentCase{"%%%v", "%msg"}, PercentCase{"100%%", "100%"},
                                         PercentCase{"%v%", "msg%"}, PercentCase{"", ""}));

// ---- Cutting at 65534 bytes

TEST(LoggerCut, OverLongMessageWithDefaultPattern) {
  LoggerStateGuard guard;
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  auto file = std::make_shared<FileSinker>(kDefaultLogPattern);
  ASSERT_TRUE(file->Open(dir.path(), "long.log", 0, 0));
  // Same pattern: the recorder gets the very line the file sink wrote.
  auto recorder = std::make_shared<RecordingSink>(kDefaultLogPattern);
  SetLogSinkers({file, recorder});
  SetLogLevel(kLogDebug);

  const std::string big(70000, 'x');
  LOG_INFO("", "%s", big.c_str());

  std::vector<std::string> texts = recorder->Texts();
  ASSERT_EQ(texts.size(), 1u);
  const std::string& text = texts[0];
  ASSERT_EQ(text.size(), 65534u);
  const size_t message = text.find(" tovali: ");
  ASSERT_NE(message, std::string::npos);
  // The cut message runs to byte 65533, then only the tab after it fits.
  EXPECT_EQ(text.find_first_not_of('x', message + 9), 65533u);
  EXPECT_EQ(text[65533], '\t');

  SetLogSinkers({});
  file.reset();
  const std::string written = ReadAll(dir.File("long.log"));
  EXPECT_EQ(written.size(), 65535u);
  EXPECT_EQ(written, text + "\n");
}

struct CutCase {
  const char* pattern;
  size_t message_length;
  const char* tail;  // what follows the x's of the message
  size_t message_kept;
};

void PrintTo(const CutCase& c, std::ostream* os) {
  *os << '"' << c.pattern << "\" with " << c.message_length << " bytes";
}

class LoggerCutRules : public testing::TestWithParam<CutCase> {};

TEST_P(LoggerCutRules, DropsWholeOrCutsAsDocumented) {
  LogCapture capture(kLogDebug, GetParam().pattern);
  const std::string message(GetParam().message_length, 'x');
  g_logger->Log(kLogInfo, "", "file", 4321, "%s", message.c_str());
  std::vector<RecordingSink::Line> lines = capture.sink->Lines();
  ASSERT_EQ(lines.size(), 1u);
  std::string tail = GetParam().tail;
  if (tail == "<ms>") {
    char ms[8];
    std::snprintf(ms, sizeof(ms), "%03d", lines[0].time.millisecond % 1000);
    tail = ms;
  }
  EXPECT_EQ(lines[0].text, std::string(GetParam().message_kept, 'x') + tail);
  EXPECT_LE(lines[0].text.size(), 65534u);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, LoggerCutRules,
    testing::Values(
        // A message that just fits is kept whole; one byte more is cut by two.
        CutCase{"%v", 65533, "", 65533}, CutCase{"%v", 65534, "", 65533},
        // A number is cut like the message: with room 2 only its first digit is printed.
        CutCase{"%v|%#", 65531, "|4", 65531},
        // The name needs all its bytes: dropped one byte short, kept on an exact fit.
        CutCase{"%v%n%L", 65530, "I", 65530}, CutCase{"%v%n", 65528, "tovali", 65528},
        // The year needs 4 bytes and is dropped; the millisecond needs 3 and fits.
        CutCase{"%v%Y%e", 65531, "<ms>", 65531},
        // A message with room 1 adds nothing; a letter then still fits.
        CutCase{"%v%v%L", 65534, "I", 65533},
        // With no room at all the second message adds nothing.
        CutCase{"%v%L%v", 65533, "I", 65533}));

// ---- Levels and the statement

TEST(LoggerLevel, SetLogLevelClamps) {
  LoggerStateGuard guard;
  const std::vector<std::pair<int, int>> cases = {{7, 4},       {5, 4}, {-1, 0}, {INT_MIN, 0},
                                                  {INT_MAX, 4}, {0, 0}, {3, 3},  {4, 4}};
  for (const auto& [given, stored] : cases) {
    SetLogLevel(given);
    EXPECT_EQ(GetLogLevel(), stored) << "given " << given;
  }
}

TEST(LoggerLevel, SuppressedStatementsEvaluateNoArgument) {
  LogCapture capture(kLogInfo, "%n %v");
  int calls = 0;
  auto next = [&calls] { return ++calls; };
  int names = 0;
  auto name = [&names] {
    ++names;
    return "n";
  };

  LOG_DEBUG(name(), "%d", next());
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(names, 0);
  EXPECT_EQ(capture.sink->Count(), 0u);

  LOG_INFO(name(), "%d", next());
  LOG_ERROR(name(), "%d", next());
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(names, 2);

  SetLogLevel(kLogNone);
  LOG_ERROR(name(), "%d", next());
  EXPECT_EQ(calls, 2);
  EXPECT_THAT(capture.sink->Texts(), ElementsAre("n 1", "n 2"));

  // The statement is one statement: an else binds to the caller's if.
  bool took_else = false;
  if (calls < 0)
    LOG_ERROR("", "never");
  else
    took_else = true;
  EXPECT_TRUE(took_else);
}

// ---- Names

TEST(LoggerName, EmptyNameShowsTheLoggerName) {
  LogCapture capture(kLogDebug, "%n:%v");
  LOG_INFO("", "a");
  LOG_INFO("dns", "b");
  SetLoggerName("");  // ignored
  LOG_INFO("", "c");
  SetLoggerName("app");
  EXPECT_EQ(GetLoggerName(), "app");
  LOG_INFO("", "d");
  EXPECT_THAT(capture.sink->Texts(), ElementsAre("tovali:a", "dns:b", "tovali:c", "app:d"));
  std::vector<RecordingSink::Line> lines = capture.sink->Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].name, "tovali");  // sinks get the substituted name as well
}

// ---- Several sinks

TEST(LoggerSinks, SamePatternSharesTheLineAndTheClockReading) {
  LoggerStateGuard guard;
  auto first = std::make_shared<RecordingSink>(kDefaultLogPattern);
  auto second = std::make_shared<RecordingSink>(kDefaultLogPattern);
  auto other = std::make_shared<RecordingSink>("%L:%v");
  SetLogSinkers({first, second, other});
  SetLogLevel(kLogDebug);

  for (int i = 0; i < 3; ++i)
    LOG_ERROR("", "line %d", i);

  std::vector<RecordingSink::Line> a = first->Lines();
  std::vector<RecordingSink::Line> b = second->Lines();
  ASSERT_EQ(a.size(), 3u);
  ASSERT_EQ(b.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(a[i].text, b[i].text);
    EXPECT_TRUE(SameTime(a[i].time, b[i].time));
    EXPECT_FALSE(IsZero(a[i].time));
  }
  EXPECT_THAT(other->Texts(), ElementsAre("E:line 0", "E:line 1", "E:line 2"));
  EXPECT_TRUE(IsZero(other->Lines()[0].time));
  EXPECT_TRUE(second->AllTerminated());
}

TEST(LoggerSinks, FailedMessageFormattingWritesToNoFurtherSink) {
  LoggerStateGuard guard;
  auto no_message = std::make_shared<RecordingSink>("%n");
  auto message = std::make_shared<RecordingSink>("%v");
  auto later = std::make_shared<RecordingSink>("%L%v");
  SetLogSinkers({no_message, message, later});
  SetLogLevel(kLogDebug);

  // A wide character the C locale cannot convert: the C library reports an error.
  const wchar_t bad[] = {0x100, 0};
  LOG_ERROR("", "%ls", bad);
  EXPECT_EQ(no_message->Count(), 1u);
  EXPECT_EQ(message->Count(), 0u);
  EXPECT_EQ(later->Count(), 0u);

  LOG_ERROR("", "ok");
  EXPECT_THAT(message->Texts(), ElementsAre("ok"));
  EXPECT_THAT(later->Texts(), ElementsAre("Eok"));
}

TEST(LoggerSinks, EmptyListGetsAWarnConsoleSink) {
  Logger logger({});
  EXPECT_EQ(logger.name_, "tovali");
  ASSERT_EQ(logger.sinkers_.size(), 1u);
  auto* console = dynamic_cast<ConsoleSinker*>(logger.sinkers_[0].get());
  ASSERT_NE(console, nullptr);
  EXPECT_EQ(console->level_, kLogWarn);
  EXPECT_EQ(console->pattern_, kDefaultLogPattern);

  auto own = std::make_shared<RecordingSink>();
  Logger given({own});
  ASSERT_EQ(given.sinkers_.size(), 1u);
  EXPECT_EQ(given.sinkers_[0], own);
}

TEST(LoggerSinks, SetLogSinkersReleasesThePreviousSinks) {
  LoggerStateGuard guard;
  auto sink = std::make_shared<RecordingSink>();
  std::weak_ptr<RecordingSink> watch = sink;
  SetLogSinkers({sink});
  sink.reset();
  EXPECT_FALSE(watch.expired());
  SetLogSinkers({std::make_shared<RecordingSink>()});
  EXPECT_TRUE(watch.expired());
}

// ---- InitLogger

TEST(LoggerInit, OpensOneFlushingFileSinkAtDebug) {
  LoggerStateGuard guard;
  SetLogLevel(kLogNone);
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string path = dir.File("app.log");
  ASSERT_TRUE(InitLogger(path));

  EXPECT_EQ(GetLogLevel(), kLogDebug);
  ASSERT_EQ(GetLogSinkers().size(), 1u);
  auto* file = dynamic_cast<FileSinker*>(GetLogSinkers()[0].get());
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->path_, path);
  EXPECT_EQ(file->pattern_, kDefaultLogPattern);
  EXPECT_EQ(file->level_, kLogDebug);
  EXPECT_EQ(file->max_size_, 1048576u);
  EXPECT_EQ(file->max_files_, 0u);

  const int line = __LINE__ + 1;
  LOG_DEBUG("", "hello %s", "file");
  // Flushed at once: the file holds the line while the sink is still open.
  const std::string text = ReadAll(path);
  const std::string tail = "\tD tovali: hello file\tlogger_test:" + std::to_string(line) + "\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(text.find('\n'), text.size() - 1);
}

TEST(LoggerInit, FailureLeavesTheLoggerAsItWas) {
  LoggerStateGuard guard;
  auto sink = std::make_shared<RecordingSink>();
  SetLogSinkers({sink});
  SetLogLevel(kLogNone);
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());

  EXPECT_FALSE(InitLogger(dir.File("missing/app.log")));
  EXPECT_FALSE(InitLogger(dir.path() + "/"));  // names a directory, not a file
  ASSERT_EQ(GetLogSinkers().size(), 1u);
  EXPECT_EQ(GetLogSinkers()[0], sink);
  EXPECT_EQ(GetLogLevel(), kLogNone);
}

// Runs `body` in a child process and returns its exit code (-1 if it did not exit).
int RunInChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0)
    _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

constexpr int kSkip = 77;

// In a child rooted at `root` and working in `cwd`, InitLogger(path) must open `expected` and
// write a line there.
int InitInChroot(const std::string& root, const char* cwd, const std::string& path,
                 const std::string& expected) {
  if (chroot(root.c_str()) != 0)
    return kSkip;
  if (chdir(cwd) != 0 || !InitLogger(path))
    return 2;
  auto* file = dynamic_cast<FileSinker*>(GetLogSinkers()[0].get());
  if (file == nullptr || file->path_ != expected)
    return 3;
  LOG_INFO("", "rooted");
  return 0;
}

TEST(LoggerInit, BareFileNameLandsInTmp) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  ASSERT_EQ(mkdir(dir.File("tmp").c_str(), 0755), 0);
  // A private root keeps the machine's own /tmp untouched.
  const int code =
      RunInChild([&] { return InitInChroot(dir.path(), "/", "bare.log", "/tmp/bare.log"); });
  if (code == kSkip)
    GTEST_SKIP() << "chroot needs root";
  ASSERT_EQ(code, 0);
  EXPECT_NE(ReadAll(dir.File("tmp/bare.log")).find("\tI tovali: rooted\t"), std::string::npos);
}

TEST(LoggerInit, FileDirectlyUnderTheRootStaysThere) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  ASSERT_EQ(mkdir(dir.File("work").c_str(), 0755), 0);
  // The working directory is elsewhere, so a file landing there instead would be seen.
  const int code =
      RunInChild([&] { return InitInChroot(dir.path(), "/work", "/top.log", "/top.log"); });
  if (code == kSkip)
    GTEST_SKIP() << "chroot needs root";
  ASSERT_EQ(code, 0);
  EXPECT_NE(ReadAll(dir.File("top.log")).find("\tI tovali: rooted\t"), std::string::npos);
  struct stat st;
  EXPECT_NE(stat(dir.File("work/top.log").c_str(), &st), 0);
}

TEST(LoggerInit, RelativePathIsRelativeToTheWorkingDirectory) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  ASSERT_EQ(mkdir(dir.File("rel").c_str(), 0755), 0);
  const int code = RunInChild([&] {
    if (chdir(dir.path().c_str()) != 0 || !InitLogger("rel/app.log"))
      return 2;
    auto* file = dynamic_cast<FileSinker*>(GetLogSinkers()[0].get());
    if (file == nullptr || file->path_ != "rel/app.log")
      return 3;
    LOG_INFO("", "relative");
    return 0;
  });
  ASSERT_EQ(code, 0);
  EXPECT_NE(ReadAll(dir.File("rel/app.log")).find("\tI tovali: relative\t"), std::string::npos);
}

}  // namespace
}  // namespace tovali
