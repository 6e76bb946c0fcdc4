#include <gtest/gtest.h>

#include <vector>

#include "codec/H264NalUnits.h"

namespace veltra {
namespace {

std::vector<Bytes> units(ByteView stream) {
  std::vector<Bytes> out;
  for (ByteView nal : h264::splitAnnexB(stream)) out.emplace_back(nal.begin(), nal.end());
  return out;
}

// lengthPrefixed() is checked on real frames by video_encoder_test.cpp.
TEST(H264NalUnitsTest, SplitsOnBothStartCodesAndKeepsOnlyTheUnits) {
  // Garbage before the first start code, a 4-byte and a 3-byte start code, an empty unit,
  // trailing zero padding, and an emulation-prevented 00 00 03 01 that must stay inside.
  const Bytes stream = {0xFF, 0x00, 0x00, 0x00, 0x01, 0x67, 0x64, 0x00, 0x00,
                        0x00, 0x01, 0x68, 0xEE, 0x00, 0x00, 0x01, 0x00, 0x00,
                        0x01, 0x65, 0x00, 0x00, 0x03, 0x01, 0x80, 0x00, 0x00};
  const std::vector<Bytes> expected = {
      {0x67, 0x64}, {0x68, 0xEE}, {0x65, 0x00, 0x00, 0x03, 0x01, 0x80}};
  EXPECT_EQ(units(stream), expected);
  EXPECT_EQ(h264::nalType(h264::splitAnnexB(stream)[2]), h264::kIdrSlice);

  EXPECT_TRUE(h264::splitAnnexB({}).empty());
  const Bytes noStartCode = {0x00, 0x00, 0x02, 0x65, 0x01, 0x00, 0x01};
  EXPECT_TRUE(h264::splitAnnexB(noStartCode).empty());
  const Bytes onlyStartCodes = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
  EXPECT_TRUE(h264::splitAnnexB(onlyStartCodes).empty());
  // A start code cut off at the very end is not a unit boundary.
  const Bytes cutOff = {0x00, 0x00, 0x01, 0x41, 0x9A, 0x00, 0x00};
  EXPECT_EQ(units(cutOff), (std::vector<Bytes>{{0x41, 0x9A}}));
}

}  // namespace
}  // namespace veltra
