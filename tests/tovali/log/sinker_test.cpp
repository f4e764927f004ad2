#include "tovali/log/sinker.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/recording_sink.h"
#include "support/temp_dir.h"

namespace tovali {
namespace {

using tovali_test::LoggerStateGuard;
using tovali_test::TempDir;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// -1 when the path does not exist.
long long SizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Hands `text` to the sink as one formatted line (the sink adds the line feed).
void Put(Sinker* sink, int level, const std::string& text) {
  auto buffer = std::make_unique<LogBuffer>();
  std::memcpy(buffer->data, text.data(), text.size());
  buffer->length = text.size();
  buffer->data[buffer->length] = '\0';
  LogTime time;
  sink->Write(level, "tovali", &time, buffer.get());
}

// ---- Pattern compilation

TEST(SinkerPattern, CompilesEveryPlaceholder) {
  ConsoleSinker sink("%v%t%n%l%L%Y%m%d%H%M%S%e%s%#");
  std::vector<int> kinds;
  for (const PatternToken& token : sink.tokens_)
    kinds.push_back(token.kind);
  EXPECT_THAT(kinds, testing::ElementsAre(
                         PatternToken::kMessage, PatternToken::kThreadId, PatternToken::kName,
                         PatternToken::kLevelName, PatternToken::kLevelLetter, PatternToken::kYear,
                         PatternToken::kMonth, PatternToken::kDay, PatternToken::kHour,
                         PatternToken::kMinute, PatternToken::kSecond, PatternToken::kMillisecond,
                         PatternToken::kSourceFile, PatternToken::kSourceLine));
  EXPECT_TRUE(sink.needs_time_);
  EXPECT_EQ(sink.pattern_, "%v%t%n%l%L%Y%m%d%H%M%S%e%s%#");
}

TEST(SinkerPattern, LiteralsAndPercentSigns) {
  ConsoleSinker sink("a%%%q%");
  std::string literals;
  for (const PatternToken& token : sink.tokens_) {
    ASSERT_EQ(token.kind, PatternToken::kLiteral);
    literals += token.ch;
  }
  EXPECT_EQ(literals, "a%%q%");
  EXPECT_FALSE(sink.needs_time_);
}

TEST(SinkerPattern, NeedsTimeIsOnlyEverSet) {
  ConsoleSinker sink("%v");
  EXPECT_FALSE(sink.needs_time_);
  for (const char* pattern : {"%Y", "%m", "%d", "%H", "%M", "%S", "%e"}) {
    ConsoleSinker timed(pattern);
    EXPECT_TRUE(timed.needs_time_) << pattern;
  }
  sink.SetPattern("%H:%v");
  EXPECT_TRUE(sink.needs_time_);
  sink.SetPattern("%v");
  EXPECT_TRUE(sink.needs_time_);
  ASSERT_EQ(sink.tokens_.size(), 1u);
  EXPECT_EQ(sink.tokens_[0].kind, PatternToken::kMessage);
}

TEST(SinkerPattern, SamePatternIsNotCompiledAgain) {
  ConsoleSinker sink("%v");
  sink.tokens_.clear();  // a recompile would bring the token back
  sink.SetPattern("%v");
  EXPECT_TRUE(sink.tokens_.empty());
  sink.SetPattern("%v ");
  EXPECT_EQ(sink.tokens_.size(), 2u);
}

// ---- Console sink

// Points standard output at a file with a large buffer, so a flush is visible as file growth.
class StdoutToFile {
 public:
  explicit StdoutToFile(const std::string& path) {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    std::setvbuf(stdout, buffer_, _IOFBF, sizeof(buffer_));
    // The C library settles the new buffer on the first write after setvbuf; make that write
    // here and drop its byte, so the test sees only its own writes.
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (ftruncate(STDOUT_FILENO, 0) != 0)
      std::perror("ftruncate");
  }
  ~StdoutToFile() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    std::setvbuf(stdout, nullptr, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, BUFSIZ);
  }

 private:
  int saved_ = -1;
  static char buffer_[16384];
};
char StdoutToFile::buffer_[16384];

TEST(ConsoleSinker, FlushesErrorAndWarnAtLevelTwo) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string out = dir.File("stdout");
  std::vector<long long> sizes;
  {
    StdoutToFile redirect(out);
    ConsoleSinker sink(kDefaultLogPattern);
    sink.SetLevel(kLogWarn);
    Put(&sink, kLogDebug, "debug");
    sizes.push_back(SizeOf(out));
    Put(&sink, kLogInfo, "info");
    sizes.push_back(SizeOf(out));
    Put(&sink, kLogWarn, "warn");
    sizes.push_back(SizeOf(out));
    Put(&sink, kLogInfo, "info2");
    sizes.push_back(SizeOf(out));
    Put(&sink, kLogError, "error");
    sizes.push_back(SizeOf(out));
    Put(&sink, kLogDebug, "tail");
  }  // the destructor flushes
  EXPECT_THAT(sizes, testing::ElementsAre(0, 0, 16, 16, 28));
  EXPECT_EQ(ReadAll(out), "debug\ninfo\nwarn\ninfo2\nerror\ntail\n");
}

TEST(ConsoleSinker, SetLevelClamps) {
  ConsoleSinker sink("%v");
  sink.SetLevel(9);
  EXPECT_EQ(sink.level_, 4);
  sink.SetLevel(-3);
  EXPECT_EQ(sink.level_, 0);
  sink.SetLevel(3);
  EXPECT_EQ(sink.level_, 3);
}

// ---- File sink: opening

class FileSinkerTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  std::string File(const std::string& name) const { return dir_.File(name); }
  TempDir dir_;
};

TEST_F(FileSinkerTest, OpenJoinsDirectoryAndFileName) {
  ASSERT_EQ(mkdir(File("sub").c_str(), 0755), 0);
  FileSinker sink(kDefaultLogPattern);
  ASSERT_TRUE(sink.Open(dir_.path(), "a.log", 0, 0));
  EXPECT_EQ(sink.path_, File("a.log"));
  ASSERT_TRUE(sink.Open(dir_.path() + "/", "b.log", 0, 0));
  EXPECT_EQ(sink.path_, File("b.log"));
  ASSERT_TRUE(sink.Open(dir_.path() + "\\sub\\", "c.log", 0, 0));
  EXPECT_EQ(sink.path_, File("sub/c.log"));
  ASSERT_TRUE(sink.Open("", File("d.log"), 0, 0));  // no directory: the name alone
  EXPECT_EQ(sink.path_, File("d.log"));
  for (const char* name : {"a.log", "b.log", "sub/c.log", "d.log"})
    EXPECT_EQ(SizeOf(File(name)), 0) << name;
}

TEST_F(FileSinkerTest, FailedOpenKeepsThePreviousPathAndLimits) {
  FileSinker sink(kDefaultLogPattern);
  EXPECT_FALSE(sink.Open(File("missing"), "x.log", 0, 0));
  EXPECT_EQ(sink.file_, nullptr);
  EXPECT_EQ(sink.path_, "");
  Put(&sink, kLogError, "dropped");  // no file yet: nothing happens

  ASSERT_TRUE(sink.Open(dir_.path(), "a.log", 500, 3));
  EXPECT_FALSE(sink.Open(File("missing"), "x.log", 0, 0));
  EXPECT_EQ(sink.file_, nullptr);
  EXPECT_EQ(sink.path_, File("a.log"));
  EXPECT_EQ(sink.max_size_, 500u);
  EXPECT_EQ(sink.max_files_, 3u);
  Put(&sink, kLogError, "dropped");
  EXPECT_EQ(SizeOf(File("a.log")), 0);
  EXPECT_EQ(SizeOf(File("missing")), -1);
}

TEST_F(FileSinkerTest, AppendsToAnExistingFileCountingFromItsSize) {
  const std::string before(1000, 'o');
  WriteAll(File("a.log"), before);
  auto sink = std::make_unique<FileSinker>(kDefaultLogPattern);
  ASSERT_TRUE(sink->Open(dir_.path(), "a.log", 0, 0));
  EXPECT_EQ(sink->size_, 1000u);
  Put(sink.get(), kLogError, "hello");
  EXPECT_EQ(sink->size_, 1006u);
  sink.reset();
  EXPECT_EQ(ReadAll(File("a.log")), before + "hello\n");
}

TEST_F(FileSinkerTest, MaxSizeZeroRotatesAtOneMebibyte) {
  WriteAll(File("a.log"), std::string(1048576 - 10, 'o'));
  auto sink = std::make_unique<FileSinker>(kDefaultLogPattern);
  ASSERT_TRUE(sink->Open(dir_.path(), "a.log", 0, 0));
  EXPECT_EQ(sink->max_size_, 1048576u);
  Put(sink.get(), kLogError, "12345678");  // 9 bytes: 1048575 in all, still below
  EXPECT_EQ(SizeOf(File("a.log")), 1048575);
  Put(sink.get(), kLogError, "abc");  // would reach 1048576: rotates first
  EXPECT_EQ(sink->size_, 4u);
  sink.reset();
  EXPECT_EQ(ReadAll(File("a.log")), "abc\n");
}

// ---- File sink: rotation

TEST_F(FileSinkerTest, ZeroBackupsDropTheLiveFile) {
  WriteAll(File("a.log"), std::string(50, 'o'));
  auto sink = std::make_unique<FileSinker>(kDefaultLogPattern);
  ASSERT_TRUE(sink->Open(dir_.path(), "a.log", 100, 0));
  const std::string line(59, 'x');  // 60 bytes with the line feed
  Put(sink.get(), kLogError, line);
  EXPECT_EQ(sink->size_, 60u);
  EXPECT_EQ(ReadAll(File("a.log")), line + "\n");
  EXPECT_EQ(SizeOf(File("a.1.log")), -1);

  // 60 + 39 = 99 stays; one byte more reaches the limit and rotates.
  Put(sink.get(), kLogError, std::string(38, 'y'));
  EXPECT_EQ(sink->size_, 99u);
  Put(sink.get(), kLogError, "");
  EXPECT_EQ(sink->size_, 1u);
  sink.reset();
  EXPECT_EQ(ReadAll(File("a.log")), "\n");
}

TEST_F(FileSinkerTest, TwoBackupsShiftWithTheIndexBeforeTheExtension) {
  WriteAll(File("app.log"), "live\n");
  WriteAll(File("app.1.log"), "one\n");
  WriteAll(File("app.2.log"), "two\n");
  auto sink = std::make_unique<FileSinker>(kDefaultLogPattern);
  ASSERT_TRUE(sink->Open(dir_.path(), "app.log", 10, 2));

  Put(sink.get(), kLogError, "0123456789");
  EXPECT_EQ(ReadAll(File("app.2.log")), "one\n");
  EXPECT_EQ(ReadAll(File("app.1.log")), "live\n");
  EXPECT_EQ(ReadAll(File("app.log")), "0123456789\n");

  Put(sink.get(), kLogError, "x");
  EXPECT_EQ(ReadAll(File("app.2.log")), "live\n");
  EXPECT_EQ(ReadAll(File("app.1.log")), "0123456789\n");
  sink.reset();
  EXPECT_EQ(ReadAll(File("app.log")), "x\n");
  EXPECT_EQ(SizeOf(File("app.3.log")), -1);
  EXPECT_EQ(SizeOf(File("app.log.1")), -1);
}

TEST_F(FileSinkerTest, MissingBackupsAreSkipped) {
  WriteAll(File("app.log"), "live\n");
  auto sink = std::make_unique<FileSinker>(kDefaultLogPattern);
  ASSERT_TRUE(sink->Open(dir_.path(), "app.log", 6, 3));
  Put(sink.get(), kLogError, "new");
  sink.reset();
  EXPECT_EQ(ReadAll(File("app.1.log")), "live\n");
  EXPECT_EQ(SizeOf(File("app.2.log")), -1);
  EXPECT_EQ(ReadAll(File("app.log")), "new\n");
}

TEST_F(FileSinkerTest, FailedRenameIsRetriedThenTheLiveFileIsDropped) {
  WriteAll(File("app.log"), "live\n");
  WriteAll(File("app.1.log"), "one\n");
  // A non-empty directory as the oldest backup can be neither removed nor replaced.
  ASSERT_EQ(mkdir(File("app.2.log").c_str(), 0755), 0);
  WriteAll(File("app.2.log/keep"), "k");
  auto sink = std::make_unique<FileSinker>(kDefaultLogPattern);
  ASSERT_TRUE(sink->Open(dir_.path(), "app.log", 10, 2));

  Put(sink.get(), kLogError, "0123456789");
  sink.reset();
  EXPECT_EQ(ReadAll(File("app.log")), "0123456789\n");
  EXPECT_EQ(ReadAll(File("app.1.log")), "one\n");  // the loop stopped before moving it
  EXPECT_EQ(ReadAll(File("app.2.log/keep")), "k");
}

TEST_F(FileSinkerTest, FailedReopenAfterRotationLeavesTheSinkQuiet) {
  ASSERT_EQ(mkdir(File("sub").c_str(), 0755), 0);
  auto sink = std::make_unique<FileSinker>(kDefaultLogPattern);
  ASSERT_TRUE(sink->Open(File("sub"), "a.log", 10, 0));
  ASSERT_EQ(std::remove(File("sub/a.log").c_str()), 0);
  ASSERT_EQ(rmdir(File("sub").c_str()), 0);

  Put(sink.get(), kLogError, "0123456789");
  EXPECT_EQ(sink->file_, nullptr);
  ASSERT_EQ(mkdir(File("sub").c_str(), 0755), 0);
  Put(sink.get(), kLogError, "later");
  sink.reset();
  EXPECT_EQ(SizeOf(File("sub/a.log")), -1);
}

TEST_F(FileSinkerTest, FlushesLinesWithinItsLevel) {
  auto sink = std::make_unique<FileSinker>(kDefaultLogPattern);
  ASSERT_TRUE(sink->Open(dir_.path(), "a.log", 0, 0));
  EXPECT_EQ(sink->level_, kLogWarn);
  Put(sink.get(), kLogInfo, "info");
  EXPECT_EQ(SizeOf(File("a.log")), 0);
  Put(sink.get(), kLogWarn, "warn");
  EXPECT_EQ(SizeOf(File("a.log")), 10);
  sink->SetLevel(9);
  EXPECT_EQ(sink->level_, kLogDebug);
  Put(sink.get(), kLogDebug, "debug");
  EXPECT_EQ(SizeOf(File("a.log")), 16);
  sink->SetLevel(-2);
  EXPECT_EQ(sink->level_, kLogNone);
  Put(sink.get(), kLogError, "error");
  EXPECT_EQ(SizeOf(File("a.log")), 16);
  sink.reset();  // closing flushes the rest
  EXPECT_EQ(ReadAll(File("a.log")), "info\nwarn\ndebug\nerror\n");
}

// ---- File sink: several threads

TEST_F(FileSinkerTest, ConcurrentLinesStayWholeAndInOrder) {
  LoggerStateGuard guard;
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  constexpr uint64_t kMaxSize = 256 * 1024;
  constexpr uint64_t kBackups = 30;  // enough that no line is lost to rotation
  auto sink = std::make_shared<FileSinker>(kDefaultLogPattern);
  ASSERT_TRUE(sink->Open(dir_.path(), "mt.log", kMaxSize, kBackups));
  SetLogSinkers({sink});
  SetLogLevel(kLogDebug);

  int tids[kThreads] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &tids] {
      tids[t] = static_cast<int>(syscall(SYS_gettid));
      for (int i = 0; i < kLines; ++i) {
        // Lengths vary up to well past the stream's buffer.
        std::string payload(static_cast<size_t>(i * 37 % 6000), static_cast<char>('a' + t));
        LOG_INFO("", "T%d #%d %s.", t, i, payload.c_str());
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  SetLogSinkers({});
  sink.reset();

  int next[kThreads] = {};
  int files = 0;
  for (uint64_t index = kBackups + 1; index-- > 0;) {
    const std::string path = RotatedFileName(File("mt.log"), index);
    if (SizeOf(path) < 0)
      continue;
    ++files;
    const std::string text = ReadAll(path);
    EXPECT_LT(text.size(), kMaxSize);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      int t = -1;
      int i = -1;
      int tid = -1;
      int consumed = 0;
      const size_t tab = line.find('\t');
      ASSERT_NE(tab, std::string::npos) << line.substr(0, 80);
      ASSERT_EQ(
          std::sscanf(line.c_str() + tab, "\t%d\tI tovali: T%d #%d %n", &tid, &t, &i, &consumed), 3)
          << line.substr(0, 80);
      ASSERT_TRUE(t >= 0 && t < kThreads);
      EXPECT_EQ(tid, tids[t]);
      EXPECT_EQ(i, next[t]) << "thread " << t;
      next[t] = i + 1;
      const size_t length = static_cast<size_t>(i * 37 % 6000);
      const std::string expected = std::string(length, static_cast<char>('a' + t)) + ".\t";
      EXPECT_EQ(line.compare(tab + consumed, expected.size(), expected), 0)
          << "thread " << t << " line " << i;
    }
  }
  EXPECT_GT(files, 2);  // rotation happened while threads wrote
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(next[t], kLines) << "thread " << t;
}

// ---- File names

struct RotatedCase {
  const char* path;
  size_t index;
  const char* expected;
};

void PrintTo(const RotatedCase& c, std::ostream* os) {
  *os << '"' << c.path << "\" index " << c.index;
}

class RotatedFileNameTest : public testing::TestWithParam<RotatedCase> {};

TEST_P(RotatedFileNameTest, PutsTheIndexBeforeTheExtension) {
  EXPECT_EQ(RotatedFileName(GetParam().path, GetParam().index), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, RotatedFileNameTest,
    testing::Values(
        RotatedCase{"/var/log/app.log", 0, "/var/log/app.log"},
        RotatedCase{"/var/log/app.log", 1, "/var/log/app.1.log"},
        RotatedCase{"/var/log/app.log", 12, "/var/log/app.12.log"},
        RotatedCase{"app.tar.gz", 3, "app.tar.3.gz"}, RotatedCase{"noext", 2, "noext.2"},
        // A hidden file: its only dot starts the name.
        RotatedCase{"/var/log/.app", 1, "/var/log/.app.1"},
        RotatedCase{"logs\\.app", 1, "logs\\.app.1"}, RotatedCase{".app", 1, ".app.1"},
        // The last dot is in a directory name.
        RotatedCase{"/var/log.d/app", 1, "/var/log.d/app.1"},
        RotatedCase{"log.d\\app", 1, "log.d\\app.1"}, RotatedCase{"dir./app", 1, "dir./app.1"},
        // A hidden file with an extension still splits at its last dot.
        RotatedCase{"/var/.app.log", 1, "/var/.app.1.log"}, RotatedCase{"app.", 1, "app..1"}));

TEST(RotatedFileName, LongNamesAreCutTo2047Characters) {
  const std::string path = "/" + std::string(3000, 'a') + ".log";
  const std::string name = RotatedFileName(path, 1);
  EXPECT_EQ(name.size(), 2047u);
  EXPECT_EQ(name, path.substr(0, 2047));
}

TEST_F(FileSinkerTest, FileExistsForFilesAndDirectories) {
  WriteAll(File("a"), "");
  EXPECT_TRUE(FileExists(File("a")));
  EXPECT_TRUE(FileExists(dir_.path()));
  EXPECT_FALSE(FileExists(File("b")));
}

}  // namespace
}  // namespace tovali
