// The context's own identity files and the system host name, in the wrapper's namespaces: /tmp
// is a private tmpfs and the host name is "palvex-test". Nothing outside /tmp is written.
#include <gmock/gmock.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/Context.h"
#include "base/Paths.h"
#include "base/Utils.h"
#include "support/recording_sink.h"
#include "support/test_context.h"

namespace palvex {
namespace {

using palvex_test::TestContext;
using testing::ElementsAre;

std::string Link(const char* path) {
  char target[256] = {0};
  ssize_t n = readlink(path, target, sizeof(target) - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

bool FileExists(const char* path) {
  return access(path, F_OK) == 0;
}

class ContextNsTest : public testing::Test {
 protected:
  void SetUp() override {
    // Only inside a mount namespace of our own may the real /tmp/miner_sn be written.
    std::string own = Link("/proc/self/ns/mnt");
    if (own.empty() || own == Link("/proc/1/ns/mnt"))
      GTEST_SKIP() << "not in a private mount namespace";
    char name[256] = {0};
    gethostname(name, sizeof(name) - 1);
    if (std::string(name) != "palvex-test")
      GTEST_SKIP() << "not in the test UTS namespace";
    for (size_t i = 1; i < kIdentityFileCount; ++i) {
      if (FileExists(kIdentityFiles[i]))
        GTEST_SKIP() << "this machine has " << kIdentityFiles[i];
    }
    ASSERT_EQ(std::string(kIdentityFiles[0]), "/tmp/miner_sn");
    unlink("/tmp/miner_sn");
  }

  // Runs a fresh context that ends its loop at once; returns its identity and its log lines.
  std::string RunContext(std::vector<std::string>* lines, bool* loop_ran) {
    tovali_test::LogCapture capture(tovali::kLogDebug, "%s|%v");
    TestContext context;
    bool ran = false;
    context.OnStart([&] {
      ran = true;
      context.ExitLoop();
    });
    capture.sink->Clear();
    context.Run();
    for (const std::string& text : capture.sink->Texts()) {
      if (text.rfind("Context|", 0) == 0)
        lines->push_back(text);
    }
    if (loop_ran != nullptr)
      *loop_ran = ran;
    return context.hostname_;
  }
};

TEST_F(ContextNsTest, MinerSnIsTheIdentity) {
  ASSERT_TRUE(WriteFile("/tmp/miner_sn", "\n  sn 0042\nrev-b \n", false));
  std::vector<std::string> lines;
  EXPECT_EQ(RunContext(&lines, nullptr), "sn 0042\nrev-b");
  EXPECT_THAT(lines,
              ElementsAre("Context|[APP] read hostname from '/tmp/miner_sn': sn 0042\nrev-b",
                          "Context|[APP] exit loop", "Context|[APP] loop exit with code: 0"));
}

TEST_F(ContextNsTest, BlankOrOversizedMinerSnFallsBackToTheHostName) {
  for (const std::string& content : {std::string(" \t\r\n\v\f"), std::string(1025, 's')}) {
    ASSERT_TRUE(WriteFile("/tmp/miner_sn", content, false));
    std::vector<std::string> lines;
    EXPECT_EQ(RunContext(&lines, nullptr), "palvex-test");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Context|[APP] read hostname from system: palvex-test");
  }
}

TEST_F(ContextNsTest, WithoutAnyIdentityTheLoopDoesNotRun) {
  ASSERT_EQ(sethostname("", 0), 0);
  std::vector<std::string> lines;
  bool loop_ran = true;
  EXPECT_EQ(RunContext(&lines, &loop_ran), "");
  ASSERT_EQ(sethostname("palvex-test", 11), 0);
  EXPECT_FALSE(loop_ran);
  EXPECT_THAT(lines, ElementsAre("Context|[APP] read system hostname failed",
                                 "Context|[APP] get hostname failed"));
}

}  // namespace
}  // namespace palvex
