#include "tovali/Network/owned_set.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/loop_fixture.h"

namespace {

class OwnedSetTest : public tovali_test::LoopFixture {};

// A child that finishes from inside its own timer callback and then keeps using itself, as a
// session does when its stream reports the end: under AddressSanitizer an owner that destroyed
// it at once would show here.
struct Child {
  Child(tovali::OwnedSet<Child>& set, event_base* loop, int* alive, int* finished)
      : set(set), alive(alive), finished(finished) {
    ++*alive;
    timer.Init(loop, [this] {
      EXPECT_TRUE(this->set.Release(this));
      EXPECT_FALSE(this->set.Release(this)) << "a second report is ignored";
      note = "still here";
      ++*this->finished;
    });
  }
  ~Child() { --*alive; }
  tovali::OwnedSet<Child>& set;
  int* alive;
  int* finished;
  std::string note;
  tovali::Timer timer;
};

TEST_F(OwnedSetTest, ChildFinishingInItsCallbackDiesOnALaterPass) {
  int alive = 0;
  int finished = 0;
  {
    tovali::OwnedSet<Child> set;
    ASSERT_EQ(set.Init(base()), 0);
    Child* first = set.Add(std::make_unique<Child>(set, base(), &alive, &finished));
    Child* second = set.Add(std::make_unique<Child>(set, base(), &alive, &finished));
    set.Add(std::make_unique<Child>(set, base(), &alive, &finished));
    EXPECT_EQ(set.oldest(), first);
    first->timer.Start(0);
    Run();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(alive, 2) << "released on a later pass, exactly once";
    EXPECT_EQ(set.size(), 2u);
    EXPECT_EQ(set.oldest(), second);
    set.Take(second).reset();
    EXPECT_EQ(alive, 1) << "taken back and destroyed by the owner at once";
    int shut = 0;
    set.ReleaseAll([&shut](Child&) { ++shut; });
    EXPECT_EQ(shut, 1);
    EXPECT_TRUE(set.empty());
    EXPECT_EQ(alive, 1) << "released children wait for the next pass";
  }
  EXPECT_EQ(alive, 0) << "the set's end takes what waited with it";
}

}  // namespace
