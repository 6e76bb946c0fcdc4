#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "protocol/PacketFramer.h"
#include "protocol/RemoteError.h"

namespace veltra {
namespace {

TEST(PacketFramerTest, FramesWithBigEndianLengthAndRefusesEmptyOrOversizedBodies) {
  EXPECT_EQ(PacketFramer::frame(Bytes{0x0F}), (Bytes{0, 0, 0, 1, 0x0F}));
  EXPECT_THROW(PacketFramer::frame({}), RemoteError);
  Bytes largest(PacketFramer::maximumSize, 0xAB);
  const Bytes framed = PacketFramer::frame(largest);
  EXPECT_EQ(Bytes(framed.begin(), framed.begin() + 4), (Bytes{0x00, 0x80, 0x00, 0x00}));
  largest.push_back(0);
  EXPECT_THROW(PacketFramer::frame(largest), RemoteError);
}

// Feeds `stream` cut at `cuts` (ascending offsets) and returns the bodies, checking that nothing
// is left over.
std::vector<Bytes> reassemble(ByteView stream, const std::vector<size_t>& cuts) {
  PacketFramer framer;
  std::vector<Bytes> bodies;
  size_t from = 0;
  for (size_t to : cuts) {
    for (auto& body : framer.append(stream.subspan(from, to - from)))
      bodies.push_back(std::move(body));
    from = to;
  }
  EXPECT_EQ(framer.bufferedSize(), 0u);
  return bodies;
}

TEST(PacketFramerTest, EverySplitOfAStreamYieldsTheSamePackets) {
  // A short stream of three small packets, cut at every pair of points (one chunk, two or
  // three; empty chunks included).
  std::vector<Bytes> few;
  Bytes small;
  for (int i = 1; i <= 3; ++i) {
    few.push_back(Bytes(i, static_cast<uint8_t>(i)));
    const Bytes framed = PacketFramer::frame(few.back());
    small.insert(small.end(), framed.begin(), framed.end());
  }
  for (size_t a = 0; a <= small.size(); ++a) {
    for (size_t b = a; b <= small.size(); ++b) {
      ASSERT_EQ(reassemble(small, {a, b, small.size()}), few) << "cuts " << a << ", " << b;
    }
  }
  // A long one with a few large packets, byte by byte and in random chunks of every size.
  std::mt19937 random(1234);
  std::vector<Bytes> many;
  Bytes stream;
  for (int i = 0; i < 200; ++i) {
    Bytes body(1 + random() % (i % 10 == 0 ? 70'000 : 300));
    for (auto& b : body) b = static_cast<uint8_t>(random());
    const Bytes framed = PacketFramer::frame(body);
    stream.insert(stream.end(), framed.begin(), framed.end());
    many.push_back(std::move(body));
  }
  for (size_t maxChunk : {size_t{1}, size_t{3}, size_t{4097}, size_t{65'536}, stream.size()}) {
    std::vector<size_t> cuts;
    for (size_t at = 0; at < stream.size();)
      cuts.push_back(at = std::min(stream.size(), at + 1 + random() % maxChunk));
    EXPECT_EQ(reassemble(stream, cuts), many) << "chunks up to " << maxChunk;
  }
}

TEST(PacketFramerTest, RefusesBadLengthsAsSoonAsTheyArriveAndWaitsForShortHeaders) {
  const struct {
    Bytes chunk;
    uint32_t limit;
    bool refused;
  } cases[] = {
      {{0, 0, 0, 0}, PacketFramer::maximumSize, true},
      {{0x00, 0x80, 0x00, 0x01}, PacketFramer::maximumSize, true},
      {{0xFF, 0xFF, 0xFF, 0xFF}, PacketFramer::maximumSize, true},  // must not overflow
      {{0x00, 0x80, 0x00, 0x00}, PacketFramer::maximumSize, false},
      {{0, 0, 0x10, 0x00}, 4096, false},
      {{0, 0, 0x10, 0x01}, 4096, true},
      {{0xFF, 0xFF, 0xFF}, 4096, false},             // not a length yet
      {{0, 0, 0, 1, 0x07, 0, 0, 0, 0}, 4096, true},  // a whole frame, then a bad length
  };
  for (const auto& c : cases) {
    PacketFramer framer;
    std::optional<size_t> buffered;
    try {
      framer.append(c.chunk, c.limit);
      buffered = framer.bufferedSize();
    } catch (const RemoteError&) {
    }
    EXPECT_EQ(!buffered, c.refused) << testing::PrintToString(c.chunk);
    EXPECT_EQ(buffered.value_or(c.chunk.size()), c.chunk.size());
  }
}

}  // namespace
}  // namespace veltra
