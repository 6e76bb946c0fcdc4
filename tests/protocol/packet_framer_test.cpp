#include <gtest/gtest.h>

#include <random>

#include "protocol/PacketFramer.h"
#include "protocol/RemoteError.h"
#include "protocol/RemotePacket.h"

namespace veltra {
namespace {

Bytes bytes(std::initializer_list<uint8_t> list) {
  return Bytes(list);
}

TEST(RemotePacketTest, OnlyHandshakeAndSessionBytesNamePackets) {
  EXPECT_EQ(remotePacket(4), RemotePacket::authenticated);
  EXPECT_EQ(remotePacket(18), RemotePacket::frameAck);
  EXPECT_EQ(remotePacket(10), RemotePacket::configuration);
  int named = 0;
  for (int raw = 0; raw <= 255; ++raw) {
    const auto packet = remotePacket(static_cast<uint8_t>(raw));
    if (packet) {
      ++named;
      EXPECT_EQ(rawValue(*packet), raw);
    }
  }
  EXPECT_EQ(named, 13);
  for (uint8_t raw : {0, 5, 9, 19, 255}) EXPECT_FALSE(remotePacket(raw)) << int(raw);
}

TEST(RemoteErrorTest, DescriptionsAreTheUserFacingTexts) {
  EXPECT_STREQ(RemoteError::authentication().what(),
               "Device authentication failed. Check the connection key.");
  EXPECT_STREQ(RemoteError::invalidPacket().what(), "Invalid remote protocol packet.");
  EXPECT_STREQ(RemoteError::unavailable("Use a port between 1024 and 65535.").what(),
               "Use a port between 1024 and 65535.");
  EXPECT_EQ(RemoteError::authentication().kind(), RemoteError::Kind::authentication);
}

TEST(PacketFramerTest, FramesWithBigEndianLengthAndRefusesEmptyOrOversizedBodies) {
  EXPECT_EQ(PacketFramer::frame(bytes({0x0F})), bytes({0, 0, 0, 1, 0x0F}));
  EXPECT_THROW(PacketFramer::frame({}), RemoteError);

  Bytes largest(PacketFramer::maximumSize, 0xAB);
  const Bytes framed = PacketFramer::frame(largest);
  ASSERT_EQ(framed.size(), largest.size() + 4);
  EXPECT_EQ(Bytes(framed.begin(), framed.begin() + 4), bytes({0x00, 0x80, 0x00, 0x00}));

  largest.push_back(0);
  EXPECT_THROW(PacketFramer::frame(largest), RemoteError);
}

TEST(PacketFramerTest, ReassemblesAcrossChunkBoundaries) {
  PacketFramer framer;
  EXPECT_TRUE(framer.append(bytes({0, 0, 0, 2, 0xAA})).empty());
  EXPECT_EQ(framer.bufferedSize(), 5u);

  auto bodies = framer.append(bytes({0xBB, 0, 0, 0, 1}));
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(bodies[0], bytes({0xAA, 0xBB}));
  EXPECT_EQ(framer.bufferedSize(), 4u);

  bodies = framer.append(bytes({0xCC}));
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(bodies[0], bytes({0xCC}));
  EXPECT_EQ(framer.bufferedSize(), 0u);
}

TEST(PacketFramerTest, ReturnsEveryWholeFrameOfAChunkInOrder) {
  PacketFramer framer;
  const auto bodies = framer.append(bytes({0, 0, 0, 1, 0x01, 0, 0, 0, 2, 0x02, 0x03, 0, 0}));
  ASSERT_EQ(bodies.size(), 2u);
  EXPECT_EQ(bodies[0], bytes({0x01}));
  EXPECT_EQ(bodies[1], bytes({0x02, 0x03}));
  EXPECT_EQ(framer.bufferedSize(), 2u);
}

TEST(PacketFramerTest, ShortHeadersWaitWhateverTheirBytes) {
  for (const Bytes& partial : {bytes({0xFF}), bytes({0, 0}), bytes({0xFF, 0xFF, 0xFF})}) {
    PacketFramer framer;
    EXPECT_TRUE(framer.append(partial).empty());
    EXPECT_EQ(framer.bufferedSize(), partial.size());
  }
}

TEST(PacketFramerTest, RefusesBadLengthsAsSoonAsTheyArrive) {
  // Zero, one past the maximum, and the largest 32-bit value (which must not overflow anything).
  for (const Bytes& header :
       {bytes({0, 0, 0, 0}), bytes({0x00, 0x80, 0x00, 0x01}), bytes({0xFF, 0xFF, 0xFF, 0xFF})}) {
    PacketFramer framer;
    EXPECT_THROW(framer.append(header), RemoteError);
  }
  // The limit is inclusive, and a tighter limit is honoured on the same boundary.
  PacketFramer atMaximum;
  EXPECT_NO_THROW(atMaximum.append(bytes({0x00, 0x80, 0x00, 0x00})));
  PacketFramer handshake;
  EXPECT_NO_THROW(handshake.append(bytes({0, 0, 0x10, 0x00}), 4096));
  PacketFramer overHandshake;
  EXPECT_THROW(overHandshake.append(bytes({0, 0, 0x10, 0x01}), 4096), RemoteError);
  // A bad length after a whole frame in the same chunk loses that frame too.
  PacketFramer mixed;
  EXPECT_THROW(mixed.append(bytes({0, 0, 0, 1, 0x07, 0, 0, 0, 0})), RemoteError);
}

TEST(PacketFramerTest, AnyChunkingYieldsTheSameBodies) {
  std::mt19937 random(1234);
  std::vector<Bytes> sent;
  Bytes stream;
  for (int i = 0; i < 200; ++i) {
    const size_t size = 1 + random() % (i % 10 == 0 ? 70'000 : 300);
    Bytes body(size);
    for (auto& b : body) b = static_cast<uint8_t>(random());
    const Bytes framed = PacketFramer::frame(body);
    stream.insert(stream.end(), framed.begin(), framed.end());
    sent.push_back(std::move(body));
  }
  for (size_t maxChunk : {size_t{1}, size_t{3}, size_t{4097}, size_t{65'536}}) {
    PacketFramer framer;
    std::vector<Bytes> received;
    for (size_t offset = 0; offset < stream.size();) {
      const size_t size = std::min(stream.size() - offset, 1 + random() % maxChunk);
      for (auto& body : framer.append(ByteView(stream).subspan(offset, size))) {
        received.push_back(std::move(body));
      }
      offset += size;
    }
    EXPECT_EQ(received, sent) << "chunks up to " << maxChunk;
    EXPECT_EQ(framer.bufferedSize(), 0u);
  }
}

}  // namespace
}  // namespace veltra
