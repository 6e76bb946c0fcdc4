#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "codec/VideoDecoder.h"
#include "h264_test_stream.h"
#include "protocol/RemoteError.h"

extern "C" {
#include <libavutil/error.h>
}

namespace veltra {
namespace {

using test::EncodedStream;

const std::string kBeforeFormat = "Video frame arrived before format.";
const std::string kInvalidPacket = "Invalid remote protocol packet.";

std::string refusal(const std::function<void()>& action) {
  try {
    action();
  } catch (const RemoteError& error) {
    return error.what();
  }
  return "";
}

struct Receiver {
  VideoDecoder decoder;
  std::vector<std::shared_ptr<const RemoteFrame>> frames;

  Receiver() {
    decoder.onFrame = [this](auto frame) { frames.push_back(std::move(frame)); };
    decoder.onFailure = [](std::string message) { ADD_FAILURE() << message; };
  }
};

// Twelve moving pictures, one key frame: every later frame needs the ones before it.
const EncodedStream& moving() {
  static const EncodedStream stream = test::encodeH264({.frames = 12});
  return stream;
}

double psnr(const RemoteFrame& frame, const EncodedStream& stream, size_t index) {
  return test::lumaPsnr(frame.plane(0), frame.stride(0), stream.sources.at(index).data(),
                        stream.format.width, stream.format.width, stream.format.height);
}

// Decodes frames [first, last) and expects each to come out at once and match its source.
void expectDecodes(Receiver& receiver, const EncodedStream& stream, size_t first, size_t last) {
  for (size_t index = first; index < last; ++index) {
    const size_t before = receiver.frames.size();
    receiver.decoder.decode(stream.frames[index]);
    ASSERT_EQ(receiver.frames.size(), before + 1) << "picture " << index << " held back";
    const RemoteFrame& frame = *receiver.frames.back();
    ASSERT_EQ(frame.width(), stream.format.width);
    ASSERT_EQ(frame.height(), stream.format.height);
    EXPECT_GE(psnr(frame, stream, index), 35.0) << "picture " << index;
  }
}

// A format is refused before anything changes when it breaks a limit (the running session and
// its reference pictures survive), or after the old session is gone when its sets do not parse.
TEST(VideoDecoderTest, TakesOnlySetsThatParseAndSidesWithinTheLimits) {
  const std::string unparsable =
      "Invalid video format (" + std::to_string(AVERROR_INVALIDDATA) + ").";
  const std::tuple<const char*, std::function<void(VideoFormat&)>, std::string> cases[] = {
      {"width 0", [](VideoFormat& f) { f.width = 0; }, kInvalidPacket},
      {"height 4097", [](VideoFormat& f) { f.height = 4097; }, kInvalidPacket},
      {"no SPS", [](VideoFormat& f) { f.sps.clear(); }, kInvalidPacket},
      {"PPS of 4096 bytes", [](VideoFormat& f) { f.pps.resize(4096); }, kInvalidPacket},
      {"sides 1", [](VideoFormat& f) { f.width = f.height = 1; }, ""},
      {"sides 4096", [](VideoFormat& f) { f.width = f.height = 4096; }, ""},
      // Trailing zero bytes are legal after a NAL unit.
      {"sets of 4095 bytes", [](VideoFormat& f) { f.sps.resize(4095), f.pps.resize(4095); }, ""},
      {"SPS of 3 bytes", [](VideoFormat& f) { f.sps.resize(3); }, unparsable},
      {"sets swapped", [](VideoFormat& f) { std::swap(f.sps, f.pps); }, unparsable},
      {"forbidden bit", [](VideoFormat& f) { f.sps[0] |= 0x80; }, unparsable},
      // Its 0x9a refers to SPS 5, which was never given.
      {"PPS without its SPS", [](VideoFormat& f) { f.pps.resize(2), f.pps[1] = 0x9a; },
       unparsable}};
  for (const auto& [name, change, expected] : cases) {
    SCOPED_TRACE(name);
    VideoFormat format = moving().format;
    change(format);
    Receiver receiver;
    receiver.decoder.configure(moving().format);
    expectDecodes(receiver, moving(), 0, 2);
    EXPECT_EQ(refusal([&] { receiver.decoder.configure(format); }), expected);
    if (expected == kInvalidPacket) expectDecodes(receiver, moving(), 2, 4);
    if (expected.empty()) expectDecodes(receiver, moving(), 0, 3);
    if (expected == unparsable) {
      EXPECT_EQ(refusal([&] { receiver.decoder.decode(moving().frames[0]); }), kBeforeFormat);
    }
  }
}

TEST(VideoDecoderTest, RepeatedSetsKeepTheSessionNewOnesRebuildItAndBadFramesAreRefused) {
  Receiver receiver;
  receiver.decoder.configure(moving().format);
  EXPECT_EQ(refusal([&] { receiver.decoder.decode({}); }), kInvalidPacket);
  expectDecodes(receiver, moving(), 0, 4);
  // Same sets, another size: the session and its reference pictures stay for the P frames below.
  VideoFormat resized = moving().format;
  resized.width = 4096;
  receiver.decoder.configure(resized);
  expectDecodes(receiver, moving(), 4, 8);

  const EncodedStream other = test::encodeH264({.width = 256, .height = 144, .frames = 2});
  receiver.decoder.configure(other.format);
  expectDecodes(receiver, other, 0, 1);
  // A NAL unit claiming more bytes than the payload has is refused; the next key frame recovers.
  Bytes lying = other.frames[1];
  for (int i = 0; i < 4; ++i) lying[i] = static_cast<uint8_t>(lying.size() >> (24 - 8 * i));
  EXPECT_EQ(refusal([&] { receiver.decoder.decode(lying); }),
            "Video decode failed (" + std::to_string(AVERROR_INVALIDDATA) + ").");
  expectDecodes(receiver, other, 0, 2);
}

TEST(VideoDecoderTest, CallbacksMayStopOrReconfigureTheDecoderOrBeAbsentAndFramesOutliveIt) {
  std::vector<std::shared_ptr<const RemoteFrame>> kept;
  {
    VideoDecoder decoder;
    decoder.onFrame = [&](std::shared_ptr<const RemoteFrame> frame) {
      kept.push_back(std::move(frame));
      if (kept.size() == 2) decoder.stop();  // ends the session under the running decode()
      if (kept.size() > 2) decoder.configure(moving().format);  // same sets: kept
    };
    decoder.configure(moving().format);
    decoder.decode(moving().frames[0]);
    decoder.decode(moving().frames[1]);
    EXPECT_EQ(refusal([&] { decoder.decode(moving().frames[2]); }), kBeforeFormat);
    decoder.configure(moving().format);
    for (size_t index = 0; index < 3; ++index) decoder.decode(moving().frames[index]);
    // Destroyed with a live session: the pictures hold their own references.
  }
  ASSERT_EQ(kept.size(), 5u);
  for (size_t i = 0; i < kept.size(); ++i)
    EXPECT_GE(psnr(*kept[i], moving(), i < 2 ? i : i - 2), 35.0) << i;
  VideoDecoder silent(VideoDecoder::Acceleration::softwareOnly);  // pictures go nowhere
  silent.configure(moving().format);
  for (const Bytes& frame : moving().frames) EXPECT_NO_THROW(silent.decode(frame));
  EXPECT_EQ(silent.decoderName(), "h264");
}

}  // namespace
}  // namespace veltra
