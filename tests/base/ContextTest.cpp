#include "base/Context.h"

#include <gmock/gmock.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "base/Utils.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"
#include "support/test_context.h"

namespace palvex {
namespace {

using palvex_test::TestContext;
using testing::ElementsAre;
using testing::IsEmpty;

std::string SystemHostname() {
  char name[1025] = {0};
  gethostname(name, 1024);
  return name;
}

class ContextIdentityTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  // Writes `content` to a file of the temp dir and returns its path.
  std::string File(const std::string& name, const std::string& content) {
    std::string path = dir_.File(name);
    EXPECT_TRUE(WriteFile(path, content, false));
    return path;
  }

  // Reads over `paths` the way the context reads its identity files.
  bool Read(const std::vector<std::string>& paths) {
    std::vector<const char*> list;
    for (const std::string& path : paths)
      list.push_back(path.c_str());
    return context_.ReadHostnameFrom(list.data(), list.size());
  }

  tovali_test::TempDir dir_;
  tovali_test::LogCapture capture_{tovali::kLogDebug, "%s|%v"};
  TestContext context_;
};

TEST_F(ContextIdentityTest, FirstFileWithAnIdentityWinsAfterBlankAndMissingOnes) {
  std::string missing = dir_.File("missing");
  std::string blank = File("blank", " \t\n\v\f\r \n");
  std::string second = File("second", "\n\n  sn-0042\r\n");
  std::string third = File("third", "sn-third");
  capture_.sink->Clear();

  EXPECT_TRUE(Read({missing, blank, second, third}));
  EXPECT_EQ(context_.hostname_, "sn-0042");
  EXPECT_THAT(capture_.sink->Texts(),
              ElementsAre("Context|[APP] read hostname from '" + second + "': sn-0042"));
}

TEST_F(ContextIdentityTest, InnerLineBreaksAndSpacesStay) {
  std::string file = File("multi", "\n line one\n\tline  two \n\n");
  EXPECT_TRUE(Read({file}));
  EXPECT_EQ(context_.hostname_, "line one\n\tline  two");
}

TEST_F(ContextIdentityTest, FileOverTheLimitIsSkippedOneAtTheLimitIsUsed) {
  std::string over = File("over", std::string(1025, 'a'));
  std::string large = File("large", std::string(10000, 'b'));
  std::string at_limit = File("at-limit", std::string(1024, 'c'));
  EXPECT_TRUE(Read({over, large, at_limit}));
  EXPECT_EQ(context_.hostname_, std::string(1024, 'c'));

  // The limit counts the untrimmed bytes.
  context_.hostname_.clear();
  std::string padded = File("padded", " " + std::string(1024, 'd'));
  std::string last = File("last", "sn-last");
  EXPECT_TRUE(Read({padded, last}));
  EXPECT_EQ(context_.hostname_, "sn-last");
}

TEST_F(ContextIdentityTest, FallsBackToTheSystemHostName) {
  const std::string system = SystemHostname();
  ASSERT_FALSE(system.empty());
  std::string blank = File("blank", "\n\n");
  std::string over = File("over", std::string(2000, 'x'));
  capture_.sink->Clear();

  EXPECT_TRUE(Read({dir_.File("missing"), blank, over}));
  EXPECT_EQ(context_.hostname_, system);
  EXPECT_THAT(capture_.sink->Texts(),
              ElementsAre("Context|[APP] read hostname from system: " + system));
}

// One context at a time: libevent delivers signals to one base only.
class ContextRunTest : public testing::Test {
 protected:
  // The lines this class logged (other components log beside it).
  std::vector<std::string> ContextLines() const {
    std::vector<std::string> lines;
    for (const std::string& text : capture_.sink->Texts()) {
      if (text.rfind("Context|", 0) == 0)
        lines.push_back(text);
    }
    return lines;
  }

  tovali_test::LogCapture capture_{tovali::kLogInfo, "%s|%v"};
};

TEST_F(ContextRunTest, CreateAndDeleteAreLogged) {
  auto context = std::make_unique<TestContext>();
  EXPECT_THAT(capture_.sink->Texts(), ElementsAre("Context|[APP] CREATE"));
  context.reset();
  EXPECT_THAT(capture_.sink->Texts(), ElementsAre("Context|[APP] CREATE", "Context|[APP] DELETE"));
}

TEST_F(ContextRunTest, SigtermWhileRunningEndsTheLoopThroughTheSignalPath) {
  TestContext context;
  int later_calls = 0;
  tovali::Timer later;
  later.Init(context.loop_.base(), [&] { ++later_calls; });
  later.Start(60000);
  context.OnStart([&] { ASSERT_EQ(raise(SIGTERM), 0); });
  capture_.sink->Clear();

  context.Run();
  EXPECT_EQ(later_calls, 0);
  EXPECT_THAT(ContextLines(), ElementsAre("Context|[APP] catch signal: 15 (SIGTERM)",
                                          "Context|[APP] loop exit with code: 0"));
  later.Stop();
}

TEST_F(ContextRunTest, SigintIsNamedToo) {
  TestContext context;
  context.OnStart([&] { ASSERT_EQ(raise(SIGINT), 0); });
  capture_.sink->Clear();

  context.Run();
  EXPECT_THAT(ContextLines(), ElementsAre("Context|[APP] catch signal: 2 (SIGINT)",
                                          "Context|[APP] loop exit with code: 0"));
}

TEST_F(ContextRunTest, ExitLoopTwiceInOnePassEndsTheRunOnceAfterTheActiveCallbacks) {
  TestContext context;
  int other_calls = 0;
  tovali::Timer other;  // active in the same pass as the start callback
  other.Init(context.loop_.base(), [&] { ++other_calls; });
  context.OnStart([&] {
    EXPECT_EQ(context.ExitLoop(), 0);
    EXPECT_EQ(context.ExitLoop(), 0);
  });
  other.Start(0);
  capture_.sink->Clear();

  context.Run();
  EXPECT_EQ(other_calls, 1);
  EXPECT_THAT(ContextLines(), ElementsAre("Context|[APP] exit loop", "Context|[APP] exit loop",
                                          "Context|[APP] loop exit with code: 0"));

  // The second request does not linger: a later run of the loop goes on until asked again.
  int next_calls = 0;
  tovali::Timer next;
  next.Init(context.loop_.base(), [&] {
    ++next_calls;
    context.ExitLoop();
  });
  other.Start(0);
  next.Start(10);
  EXPECT_EQ(context.loop_.Run(0), 0);
  EXPECT_EQ(other_calls, 2);
  EXPECT_EQ(next_calls, 1);
}

}  // namespace
}  // namespace palvex
