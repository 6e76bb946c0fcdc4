#include <gtest/gtest.h>

#include <vector>

#include "codec/H264NalUnits.h"

namespace veltra {
namespace {

std::vector<Bytes> units(const Bytes& stream) {
  std::vector<Bytes> out;
  for (ByteView nal : h264::splitAnnexB(stream)) out.emplace_back(nal.begin(), nal.end());
  return out;
}

// lengthPrefixed() is checked on real frames by the encoder's tests.
TEST(H264NalUnitsTest, SplitsOnBothStartCodesAndKeepsOnlyTheUnits) {
  // Garbage before the first start code, a 4-byte and a 3-byte start code, an empty unit,
  // trailing zero padding, and an emulation-prevented 00 00 03 01 that must stay inside.
  EXPECT_EQ(units({0xFF, 0, 0, 0, 1, 0x67, 0x64, 0, 0, 0, 1,    0x68, 0xEE, 0,
                   0,    1, 0, 0, 1, 0x65, 0,    0, 3, 1, 0x80, 0,    0}),
            (std::vector<Bytes>{{0x67, 0x64}, {0x68, 0xEE}, {0x65, 0, 0, 3, 1, 0x80}}));
  EXPECT_TRUE(units({}).empty());
  EXPECT_TRUE(units({0, 0, 2, 0x65, 1, 0, 1}).empty());  // no start code
  EXPECT_TRUE(units({0, 0, 1, 0, 0, 0, 1}).empty());     // only start codes
  // A start code cut off at the very end is not a unit boundary.
  EXPECT_EQ(units({0, 0, 1, 0x41, 0x9A, 0, 0}), (std::vector<Bytes>{{0x41, 0x9A}}));
}

}  // namespace
}  // namespace veltra
