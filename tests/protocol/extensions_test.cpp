#include <gtest/gtest.h>

#include <string>

#include "protocol/AudioPacket.h"
#include "protocol/ClipboardExchange.h"
#include "protocol/CursorImage.h"
#include "protocol/SessionExtensions.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using Verdict = ClipboardExchange::Verdict;

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(SessionExtensionsTest, AnOfferIsOneKeyMoreAndNothingAtAllWithoutExtensions) {
  const RemoteConfiguration mode{1920, 1080, 60};
  EXPECT_EQ(configurationJson(mode, {}), mode.encodeJson());
  EXPECT_EQ(text(configurationJson(mode, SessionExtensions::all(), "libx264")),
            R"({"encoder":"libx264","extensions":["clipboard","cursor","audio"],"fps":60,)"
            R"("height":1080,"width":1920})");
  // The mode still reads as before: the extra keys are the kind a base peer ignores.
  EXPECT_EQ(RemoteConfiguration::decodeJson(configurationJson(mode, SessionExtensions::all())),
            mode);

  const auto extras = [](std::string json) { return configurationExtras(asBytes(json)); };
  EXPECT_FALSE(extras(text(mode.encodeJson())).extensions);
  EXPECT_FALSE(extras(R"({"extensions":"clipboard"})").extensions);
  EXPECT_FALSE(extras("not JSON").extensions);
  EXPECT_EQ(extras(R"({"extensions":[]})").extensions, SessionExtensions{});
  // Unknown names and entries of other types are skipped, repeats count once.
  const ConfigurationExtras mixed =
      extras(R"({"extensions":["telepathy",7,null,"cursor","cursor"],"encoder":42})");
  EXPECT_EQ(mixed.extensions, SessionExtensions{SessionExtension::cursor});
  EXPECT_EQ(mixed.encoder, "");
}

TEST(CursorImageTest, RoundTripsAndRefusesMalformedPayloads) {
  const CursorImage arrow{.width = 2,
                          .height = 3,
                          .hotX = 1,
                          .hotY = 2,
                          .pixels = {0xFF000000, 0x80402010, 0, 0xFFFFFFFF, 0x01020304, 7}};
  const Bytes wire = arrow.encode();
  ASSERT_EQ(wire.size(), 8u + 6 * 4);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 12), (Bytes{0, 2, 0, 3, 0, 1, 0, 2, 0, 0, 0, 0xFF}));
  EXPECT_EQ(Bytes(wire.begin() + 12, wire.begin() + 16), (Bytes{0x10, 0x20, 0x40, 0x80}));
  EXPECT_EQ(CursorImage::decode(wire), arrow);

  Bytes shorter(wire.begin(), wire.end() - 1);
  EXPECT_FALSE(CursorImage::decode(shorter));
  EXPECT_FALSE(CursorImage::decode(Bytes{0, 0, 0, 0, 0, 0, 0, 0}));  // no pixels at all
  Bytes hotOutside = wire;
  hotOutside[5] = 2;  // hot x = width
  EXPECT_FALSE(CursorImage::decode(hotOutside));
  CursorImage huge{.width = 257, .height = 1, .hotX = 0, .hotY = 0, .pixels = {}};
  huge.pixels.resize(257);
  EXPECT_FALSE(huge.isValid());
  EXPECT_FALSE(CursorImage::decode(huge.encode()));
}

TEST(AudioPacketTest, CarriesItsNumberAndStampAndOneOpusFrame) {
  const AudioPacket packet{.sequence = 0x01020304, .captureTime = 0x1122334455667788, .opus = {9}};
  EXPECT_EQ(packet.encode(),
            (Bytes{1, 2, 3, 4, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 9}));
  EXPECT_EQ(AudioPacket::decode(packet.encode()), packet);
  const Bytes header(AudioPacket::kHeaderSize, 0);
  EXPECT_FALSE(AudioPacket::decode(header));  // no Opus frame
  Bytes large = header;
  large.resize(AudioPacket::kHeaderSize + AudioPacket::kMaximumOpusBytes + 1);
  EXPECT_FALSE(AudioPacket::decode(large));
}

TEST(ClipboardExchangeTest, ACopyTravelsOnceAtAMeasuredPaceAndNeverTooLarge) {
  ClipboardExchange exchange;
  auto now = std::chrono::steady_clock::time_point() + 1h;
  EXPECT_EQ(exchange.local("Grüße, 世界 ✓", now), Verdict::send);
  EXPECT_EQ(exchange.takeOutgoing(), "Grüße, 世界 ✓");
  EXPECT_EQ(exchange.local("Grüße, 世界 ✓", now + 1s), Verdict::unchanged);

  // A program rewriting its clipboard in a loop: one packet per interval, the newest text.
  EXPECT_EQ(exchange.local("a", now + 1s), Verdict::send);
  exchange.takeOutgoing();
  EXPECT_EQ(exchange.local("b", now + 1s + 10ms), Verdict::later);
  EXPECT_EQ(exchange.local("c", now + 1s + 20ms), Verdict::later);
  EXPECT_EQ(exchange.nextDue(), now + 1s + ClipboardExchange::kInterval);
  EXPECT_FALSE(exchange.due(now + 1s + ClipboardExchange::kInterval - 1ms));
  EXPECT_EQ(exchange.due(now + 1s + ClipboardExchange::kInterval), "c");
  EXPECT_FALSE(exchange.nextDue());

  // The peer's copy, set locally, reports back as a local change: it does not go back.
  EXPECT_EQ(exchange.remote(asBytes("Zwölf Boxkämpfer")), "Zwölf Boxkämpfer");
  EXPECT_EQ(exchange.local("Zwölf Boxkämpfer", now + 2s), Verdict::unchanged);
  // ...and a copy still held back is older than it.
  EXPECT_EQ(exchange.local("x", now + 2s), Verdict::send);
  exchange.takeOutgoing();
  EXPECT_EQ(exchange.local("y", now + 2s + 1ms), Verdict::later);
  EXPECT_TRUE(exchange.remote(asBytes("z")));
  EXPECT_FALSE(exchange.due(now + 3s));

  const std::string limit(ClipboardExchange::kMaximumBytes, 'm');
  EXPECT_EQ(exchange.local(limit + "m", now + 4s), Verdict::tooLarge);
  EXPECT_EQ(exchange.local(limit, now + 4s), Verdict::send);
  EXPECT_FALSE(exchange.remote(asBytes(limit + "m")));
  EXPECT_EQ(exchange.local("", now + 5s), Verdict::refused);
  EXPECT_EQ(exchange.local("\xC3\x28", now + 5s), Verdict::refused);
  EXPECT_FALSE(exchange.remote(asBytes("\xED\xA0\x80")));  // a UTF-16 surrogate
  EXPECT_FALSE(exchange.remote({}));
}

}  // namespace
}  // namespace veltra
