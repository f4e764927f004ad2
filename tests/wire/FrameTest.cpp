#include "wire/Frame.h"

#include <gtest/gtest.h>

#include <string>

#include "wire/DetectProtocol.h"

namespace palvex {
namespace {

std::string Frame(uint16_t version, const std::string& payload, uint32_t length) {
  std::string out;
  out.push_back(static_cast<char>(version >> 8));
  out.push_back(static_cast<char>(version & 0xff));
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((length >> shift) & 0xff));
  return out + payload;
}

TEST(FrameReaderTest, AssemblesAFrameFromAnySplitAndLeavesWhatFollows) {
  const std::string frame = Frame(1, "SN-0042", 7);
  for (size_t piece : {size_t{1}, size_t{2}, size_t{5}, frame.size()}) {
    FrameReader reader(4096, IsRequestVersion);
    const std::string input = frame + "trailing";
    size_t pos = 0;
    FrameReader::Status status = FrameReader::kNeedMore;
    while (status == FrameReader::kNeedMore && pos < input.size()) {
      size_t len = std::min(piece, input.size() - pos);
      size_t used = 0;
      status = reader.Feed(input.data() + pos, len, &used);
      pos += used;
    }
    EXPECT_EQ(status, FrameReader::kComplete) << piece;
    EXPECT_EQ(pos, frame.size()) << "bytes after the frame are not taken";
    EXPECT_EQ(reader.version(), 1);
    EXPECT_EQ(reader.payload(), "SN-0042");
  }
  // An empty identity is a complete frame; the length limit itself is allowed.
  FrameReader empty(4096, IsRequestVersion);
  size_t used = 0;
  std::string header = Frame(4, "", 0);
  EXPECT_EQ(empty.Feed(header.data(), header.size(), &used), FrameReader::kComplete);
  FrameReader at_limit(3, IsRequestVersion);
  std::string three = Frame(1, "abc", 3);
  EXPECT_EQ(at_limit.Feed(three.data(), three.size(), &used), FrameReader::kComplete);
}

TEST(FrameReaderTest, RefusesBadVersionsAndLengthsWithoutWaitingForMore) {
  for (uint16_t version : {0, 2, 3, 5, 0x0100, 0xffff}) {
    FrameReader reader(4096, IsRequestVersion);
    std::string frame = Frame(version, "", 0);
    size_t used = 0;
    // Two bytes are enough to judge the version.
    EXPECT_EQ(reader.Feed(frame.data(), 2, &used), FrameReader::kBadVersion) << version;
    EXPECT_EQ(reader.Feed(frame.data() + 2, 4, &used), FrameReader::kBadVersion);
    EXPECT_EQ(used, 0u);
  }
  for (uint32_t length : {4097u, 0x80000000u, 0xffffffffu}) {
    FrameReader reader(4096, IsRequestVersion);
    std::string header = Frame(1, "", length);
    size_t used = 0;
    EXPECT_EQ(reader.Feed(header.data(), 5, &used), FrameReader::kNeedMore);
    EXPECT_EQ(reader.Feed(header.data() + 5, 1, &used), FrameReader::kTooLarge) << length;
  }
}

}  // namespace
}  // namespace palvex
