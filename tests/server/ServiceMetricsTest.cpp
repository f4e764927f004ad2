#include "server/ServiceMetrics.h"

#include <gtest/gtest.h>

#include <string>

namespace palvexd {
namespace {

TEST(ServiceMetricsTest, IspLabelsAreCappedTheRestShareOne) {
  ServiceMetrics metrics;
  for (uint16_t isp = 1; isp <= 70; ++isp)
    metrics.CountRequest(1, isp);
  metrics.CountRequest(1, 64);  // seen: keeps its label
  metrics.CountRequest(1, 70);  // not: "other" again
  const std::string text = metrics.Render(0, 0, 0, 0);
  size_t series = 0;
  for (size_t at = 0; (at = text.find("palvexd_requests_by_isp_total{", at)) != std::string::npos;
       ++at)
    ++series;
  EXPECT_EQ(series, 65u);
  EXPECT_NE(text.find("{kind=\"detect\",isp=\"64\"} 2\n"), std::string::npos);
  EXPECT_NE(text.find("{kind=\"detect\",isp=\"other\"} 7\n"), std::string::npos);
}

}  // namespace
}  // namespace palvexd
