#include "base/Utils.h"

#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace palvex {
namespace {

using testing::ElementsAre;

class FileUtilsTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  tovali_test::TempDir dir_;
};

TEST_F(FileUtilsTest, ReadFileAppendsWholeChunksWithinTheLimit) {
  std::string path = dir_.File("data");
  std::string content(5000, 'x');
  content[4095] = 'y';
  content[4096] = 'z';
  ASSERT_TRUE(WriteFile(path, content, false));

  std::string out = "head:";
  EXPECT_TRUE(ReadFile(path, out, 0));
  EXPECT_EQ(out, "head:" + content);

  out.clear();
  EXPECT_TRUE(ReadFile(path, out, 5000));
  EXPECT_EQ(out, content);

  // The limit counts what `out` already holds; the chunk that would cross it is not appended.
  out = "ab";
  EXPECT_FALSE(ReadFile(path, out, 5000));
  EXPECT_EQ(out, "ab" + content.substr(0, 4096));

  out.clear();
  EXPECT_FALSE(ReadFile(path, out, 4095));
  EXPECT_EQ(out, "");
}

TEST_F(FileUtilsTest, ReadFileFailsOnMissingFilesAndDirectories) {
  std::string out = "kept";
  EXPECT_FALSE(ReadFile(dir_.File("missing"), out, 0));
  EXPECT_FALSE(ReadFile(dir_.path(), out, 0));
  EXPECT_EQ(out, "kept");
}

TEST_F(FileUtilsTest, WriteFileTruncatesOrAppends) {
  std::string path = dir_.File("out");
  ASSERT_TRUE(WriteFile(path, "first line\n", false));
  ASSERT_TRUE(WriteFile(path, "2", false));
  ASSERT_TRUE(WriteFile(path, std::string("\0x", 2), true));
  std::string out;
  EXPECT_TRUE(ReadFile(path, out, 0));
  EXPECT_EQ(out, std::string("2\0x", 3));
  EXPECT_FALSE(WriteFile(dir_.File("no-dir/out"), "x", false));
}

TEST(TrimTest, RemovesOnlyTheEnds) {
  EXPECT_EQ(Trim("\t\n\v\f\r a b\n c \r\n", kWhiteSpace), "a b\n c");
  EXPECT_EQ(Trim(" \t\n", kWhiteSpace), "");
  EXPECT_EQ(Trim("", kWhiteSpace), "");
  EXPECT_EQ(Trim("xxabcxx", "x"), "abc");
  EXPECT_EQ(Trim("abc", ""), "abc");
}

TEST(SplitTest, KeepsOrDropsEmptyPieces) {
  EXPECT_THAT(Split("a|b||c|", "|", false), ElementsAre("a", "b", "", "c", ""));
  EXPECT_THAT(Split("a|b||c|", "|", true), ElementsAre("a", "b", "c"));
  EXPECT_THAT(Split("|a", "|", false), ElementsAre("", "a"));
  EXPECT_THAT(Split("", "|", false), ElementsAre(""));
  EXPECT_THAT(Split("", "|", true), ElementsAre());
  EXPECT_THAT(Split("abc", "|", true), ElementsAre("abc"));
  EXPECT_THAT(Split("a::b:::c", "::", false), ElementsAre("a", "b", ":c"));
  EXPECT_THAT(Split("abc", "", false), ElementsAre());
}

}  // namespace
}  // namespace palvex
