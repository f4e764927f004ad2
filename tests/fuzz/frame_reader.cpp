// The frame reader both programs use, fed in pieces the input chooses, against the frame layout
// itself: the status after every piece, the bytes taken, and the frame it hands out.
//
// Input: one flags byte (bit 0: the service's version check; bits 1-7: the largest payload,
// times 16), one byte of piece sizes per piece, a zero byte, then the bytes delivered.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_checks.h"
#include "wire/DetectProtocol.h"
#include "wire/Frame.h"

using palvex::FrameReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  const bool checked = (data[0] & 1) != 0;
  const uint32_t max_payload = static_cast<uint32_t>(data[0] >> 1) * 16;
  const uint8_t* end = data + size;
  const uint8_t* pieces = data + 1;
  const uint8_t* bytes = std::find(pieces, end, 0);
  if (bytes == end)
    return 0;
  const std::string input(reinterpret_cast<const char*>(bytes + 1), end - bytes - 1);

  // What the layout says of this input.
  FrameReader::Status want = FrameReader::kNeedMore;
  size_t want_used = input.size();
  if (input.size() >= 2 && checked) {
    const uint16_t version = static_cast<uint16_t>((uint8_t(input[0]) << 8) | uint8_t(input[1]));
    if (!palvex::IsRequestVersion(version)) {
      want = FrameReader::kBadVersion;
      want_used = 2;
    }
  }
  palvex::FrameHeader header;
  if (want == FrameReader::kNeedMore &&
      palvex::ReadFrameHeader(input.data(), input.size(), &header)) {
    if (header.length > max_payload) {
      want = FrameReader::kTooLarge;
      want_used = palvex::kFrameHeaderSize;
    } else if (input.size() >= palvex::FrameSize(header)) {
      want = FrameReader::kComplete;
      want_used = static_cast<size_t>(palvex::FrameSize(header));
    }
  }

  FrameReader reader(max_payload, checked ? palvex::IsRequestVersion : nullptr);
  FrameReader::Status status = FrameReader::kNeedMore;
  size_t pos = 0;
  for (const uint8_t* p = pieces; pos < input.size(); p = p + 1 < bytes ? p + 1 : pieces) {
    const size_t len = std::min<size_t>(std::max<size_t>(*p, 1), input.size() - pos);
    size_t used = 0;
    status = reader.Feed(input.data() + pos, len, &used);
    FUZZ_CHECK(used <= len);
    pos += used;
    if (status != FrameReader::kNeedMore) {
      size_t again = 1;
      FUZZ_CHECK(reader.Feed(input.data(), input.size(), &again) == status && again == 0);
      break;
    }
    FUZZ_CHECK(used == len);
  }
  FUZZ_CHECK(status == want);
  // A bad version is judged with the header bytes that came with it.
  if (status == FrameReader::kBadVersion)
    FUZZ_CHECK(pos >= 2 && pos <= std::min(input.size(), palvex::kFrameHeaderSize));
  else
    FUZZ_CHECK(pos == want_used);
  if (status == FrameReader::kComplete) {
    FUZZ_CHECK(reader.version() == header.version);
    FUZZ_CHECK(reader.payload() == input.substr(palvex::kFrameHeaderSize, header.length));
  }
  return 0;
}
