// Cost of log statements: one that the global level suppresses, one formatted for a sink that
// discards it (plain, and with text from outside the program), and one written to a file sink
// the way the program configures it.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tovali/log/logger.h"
#include "tovali/log/sinker.h"

namespace {

// Keeps the global logger's state for the length of one benchmark.
class LoggerState {
 public:
  LoggerState() : sinkers_(tovali::GetLogSinkers()), level_(tovali::GetLogLevel()) {}
  ~LoggerState() {
    tovali::SetLogSinkers(sinkers_);
    tovali::SetLogLevel(level_);
  }

 private:
  std::vector<std::shared_ptr<tovali::Sinker>> sinkers_;
  int level_;
};

class NullSink : public tovali::Sinker {
 public:
  explicit NullSink(std::string pattern) : Sinker(std::move(pattern)) {}
  void Write(int, const char*, const tovali::LogTime*, tovali::LogBuffer* buffer) override {
    benchmark::DoNotOptimize(buffer->data[0]);
  }
};

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
  std::remove(path);
  return 0;
}

class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/palvex-bench-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
      path_ = pattern;
  }
  ~ScratchDir() {
    if (!path_.empty())
      nftw(path_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Logging is off (the default mode without -l): the statement costs the level test only.
void BM_SuppressedStatement(benchmark::State& state) {
  LoggerState saved;
  tovali::SetLogLevel(tovali::kLogNone);
  std::string tag = "[DTR]";
  int value = 0;
  for (auto _ : state) {
    LOG_DEBUG("", "%s detect %d from %s", tag.c_str(), ++value, tag.c_str());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SuppressedStatement);

// Formatting alone: the default pattern with its clock reading, into a sink that drops the line.
void BM_FormatDefaultPattern(benchmark::State& state) {
  LoggerState saved;
  tovali::SetLogSinkers({std::make_shared<NullSink>(tovali::kDefaultLogPattern)});
  tovali::SetLogLevel(tovali::kLogDebug);
  int value = 0;
  for (auto _ : state)
    LOG_INFO("", "%s detect %d from %s", "[DTR]", ++value, "sender");
}
BENCHMARK(BM_FormatDefaultPattern);

// The same with text from outside in the message: well-formed multi-byte UTF-8, and a reply
// carrying bytes that are not UTF-8 (each must become U+FFFD).
void BM_FormatForeignText(benchmark::State& state) {
  LoggerState saved;
  tovali::SetLogSinkers({std::make_shared<NullSink>(tovali::kDefaultLogPattern)});
  tovali::SetLogLevel(tovali::kLogDebug);
  const char* text = state.range(0) == 0 ? "203.0.113.5:50123|\xe4\xb8\xad\xe5\x9b\xbd|44|3|2"
                                         : "203.0.113.5:50123|\xff\xfe\xc0\xaf|44|3|2";
  for (auto _ : state)
    LOG_INFO("", "%s on sender data: %s", "[DTR]", text);
}
BENCHMARK(BM_FormatForeignText)->Arg(0)->Arg(1);

// One line to a file sink. Arg 4: flushed after every line, as the program's log file is;
// arg 2: buffered (only warn and error lines flushed).
void BM_FileSinkLine(benchmark::State& state) {
  ScratchDir dir;
  if (dir.path().empty()) {
    state.SkipWithError("no scratch directory");
    return;
  }
  LoggerState saved;
  {
    auto sink = std::make_shared<tovali::FileSinker>(tovali::kDefaultLogPattern);
    if (!sink->Open(dir.path(), "bench.log", 1048576, 0)) {
      state.SkipWithError("cannot open the log file");
      return;
    }
    sink->SetLevel(static_cast<int>(state.range(0)));
    tovali::SetLogSinkers({sink});
  }
  tovali::SetLogLevel(tovali::kLogDebug);
  int value = 0;
  for (auto _ : state)
    LOG_INFO("", "%s detect %d from %s", "[DTR]", ++value, "sender");
  tovali::SetLogSinkers({});
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FileSinkLine)->Arg(4)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
