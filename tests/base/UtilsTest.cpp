#include "base/Utils.h"

#include <dirent.h>
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace palvex {
namespace {

using testing::ElementsAre;

class FileUtilsTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  // The names in the temp dir, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(dir_.path().c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
          names.push_back(name);
      }
      closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

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

TEST_F(FileUtilsTest, ReadFileFailsOnMissingFilesDirectoriesAndFifos) {
  std::string out = "kept";
  EXPECT_FALSE(ReadFile(dir_.File("missing"), out, 0));
  EXPECT_FALSE(ReadFile(dir_.path(), out, 0));
  // A FIFO planted at an identity path must not hold the run waiting for a writer.
  ASSERT_EQ(mkfifo(dir_.File("fifo").c_str(), 0644), 0);
  EXPECT_FALSE(ReadFile(dir_.File("fifo"), out, 0));
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

  // A replace whose rename fails (a directory in the way) removes its new file again.
  ASSERT_EQ(mkdir(dir_.File("busy").c_str(), 0755), 0);
  EXPECT_FALSE(WriteFile(dir_.File("busy"), "x", false));
  EXPECT_THAT(Entries(), ElementsAre("busy", "out"));
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
