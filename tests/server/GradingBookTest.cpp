#include "server/GradingBook.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace palvexd {
namespace {

Grading Pending(const std::string& nonce) {
  Grading g;
  g.record.grade.test = "grade";
  g.record.grade.nonce = nonce;
  g.record.grade.mapped[kMappedPrimary] = "203.0.113.7:50123";
  g.device_local[kMappedPrimary] = "10.0.0.2:50123";
  g.other_address = true;
  g.started[kFromOtherAddress] = g.started[kFromOtherPort] = true;
  g.mappings_expected = 2;
  g.replied_ms = 1000;
  return g;
}

TEST(GradingBookTest, HoldsEachGradingUntilItsFactsAreInOrItsTimeIsUp) {
  GradingBook book(2);
  std::vector<Grading> done;
  ASSERT_TRUE(book.Open(Pending("a")));
  EXPECT_FALSE(book.Open(Pending("a")));  // a nonce in use
  ASSERT_TRUE(book.Open(Pending("b")));
  EXPECT_FALSE(book.Open(Pending("c")));  // full

  // "a": both dial-backs and both mappings, from any order of arrival.
  EXPECT_TRUE(book.AddMapping("a", kMappedOtherPort, "203.0.113.7:50123", "10.0.0.2:50123", &done));
  book.SetDialback("a", kFromOtherAddress, DialbackOutcome::kRefused, &done);
  book.SetDialback("a", kFromOtherPort, DialbackOutcome::kOk, &done);
  EXPECT_TRUE(done.empty());
  EXPECT_TRUE(
      book.AddMapping("a", kMappedOtherAddress, "203.0.113.7:50123", "10.0.0.2:50123", &done));
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].record.grade.verdict.nat_type, 2);  // restricted cone
  EXPECT_FALSE(book.AddMapping("a", kMappedOtherPort, "x", "y", &done));

  // "b": its mappings never come; written once the hold time is over, with what is known.
  done.clear();
  book.SetDialback("b", kFromOtherAddress, DialbackOutcome::kTimeout, &done);
  book.Sweep(5999, 5000, &done);
  EXPECT_TRUE(done.empty());  // one dial-back still out
  book.Sweep(6000, 5000, &done);
  EXPECT_TRUE(done.empty());
  book.SetDialback("b", kFromOtherPort, DialbackOutcome::kTimeout, &done);
  book.Sweep(6000, 5000, &done);
  ASSERT_EQ(done.size(), 1u);
  const GradeFacts& b = done[0].record.grade;
  EXPECT_EQ(b.verdict.filtering, palvex::NatBehaviour::kAddressAndPortDependent);
  EXPECT_EQ(b.verdict.mapping, palvex::NatBehaviour::kUnknown);
  EXPECT_EQ(book.size(), 0u);

  // Stopping writes everything held.
  ASSERT_TRUE(book.Open(Pending("c")));
  done.clear();
  book.TakeAll(&done);
  EXPECT_EQ(done.size(), 1u);
}

}  // namespace
}  // namespace palvexd
