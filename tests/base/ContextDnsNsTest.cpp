// The run context creates the shared DNS manager before its loop runs and deletes it first on
// destruction. In the wrapper's namespaces the identity comes from the host name "palvex-test".
#include <gmock/gmock.h>

#include "base/Context.h"
#include "support/recording_sink.h"
#include "tovali/Network/dns_manager.h"

namespace palvex {
namespace {

using testing::ElementsAre;

class ProbeContext : public Context {
 public:
  ProbeContext() {
    timer_.Init(loop_.base(), [this] {
      if (dns_manager_) {
        seen_tag = dns_manager_->log.tag();
        seen_on_loop = dns_manager_->loop == loop_.base();
        seen_quiet = !dns_manager_->log.enabled();
        seen_log_name = dns_manager_->log.name();
      }
      ExitLoop();
    });
    timer_.Start(0);
  }
  bool has_manager() const { return dns_manager_ != nullptr; }

  std::string seen_tag;
  bool seen_on_loop = false;
  bool seen_quiet = true;
  std::string seen_log_name = "unset";

 private:
  tovali::Timer timer_;
};

TEST(ContextDnsNsTest, ManagerLivesFromRunUntilTheContextGoes) {
  tovali_test::LogCapture capture(tovali::kLogInfo, "%s|%v");
  auto context = std::make_unique<ProbeContext>();
  EXPECT_FALSE(context->has_manager());
  context->Run();
  EXPECT_EQ(context->seen_tag, "[DnsMGR]");
  EXPECT_TRUE(context->seen_on_loop);
  EXPECT_FALSE(context->seen_quiet);
  EXPECT_EQ(context->seen_log_name, "");
  EXPECT_TRUE(context->has_manager());
  capture.sink->Clear();
  context.reset();
  EXPECT_THAT(capture.sink->Texts(),
              ElementsAre("dns_manager|[DnsMGR] DELETE", "Context|[APP] DELETE"));
}

}  // namespace
}  // namespace palvex
