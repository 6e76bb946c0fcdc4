#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/VideoDecoder.h"
#include "h264_test_stream.h"
#include "protocol/RemoteError.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

using test::EncodedStream;
using test::StreamOptions;

const std::string kInvalidPacket = "Invalid remote protocol packet.";
const std::string kBeforeFormat = "Video frame arrived before format.";

std::string invalidFormat(int status) {
  return "Invalid video format (" + std::to_string(status) + ").";
}

// Runs `action` and returns the RemoteError it threw; fails the test if it threw nothing or
// something else.
template <typename Action>
RemoteError thrown(Action&& action) {
  try {
    action();
  } catch (const RemoteError& error) {
    return error;
  }
  ADD_FAILURE() << "no RemoteError thrown";
  return RemoteError::unavailable("(nothing thrown)");
}

// A decoder with its pictures and failures collected.
struct Receiver {
  VideoDecoder decoder;
  std::vector<std::shared_ptr<const RemoteFrame>> frames;
  std::vector<std::string> failures;

  explicit Receiver(VideoDecoder::Acceleration acceleration = VideoDecoder::Acceleration::automatic)
      : decoder(acceleration) {
    decoder.onFrame = [this](std::shared_ptr<const RemoteFrame> frame) {
      frames.push_back(std::move(frame));
    };
    decoder.onFailure = [this](std::string message) { failures.push_back(std::move(message)); };
  }
};

double psnr(const RemoteFrame& frame, const EncodedStream& stream, size_t index) {
  return test::lumaPsnr(frame.plane(0), frame.stride(0), stream.sources.at(index).data(),
                        stream.format.width, stream.format.width, stream.format.height);
}

class VideoDecoderTest : public ::testing::Test {
 protected:
  // Twelve moving pictures, one key frame: every later frame needs the ones before it.
  static void SetUpTestSuite() { moving_ = new EncodedStream(test::encodeH264(320, 180, 12)); }
  static void TearDownTestSuite() {
    delete moving_;
    moving_ = nullptr;
  }

  static const EncodedStream& moving() { return *moving_; }

  // Decodes frames [first, last) and expects each to come out at once and match its source.
  static void expectDecodes(Receiver& receiver, const EncodedStream& stream, size_t first,
                            size_t last) {
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

 private:
  static EncodedStream* moving_;
};

EncodedStream* VideoDecoderTest::moving_ = nullptr;

TEST_F(VideoDecoderTest, FormatsOutsideTheLimitsAreRefusedAndChangeNothing) {
  Receiver receiver;
  const VideoFormat good = moving().format;
  std::vector<VideoFormat> bad;
  for (int side : {0, -1, 4097}) {
    VideoFormat wide = good, tall = good;
    wide.width = side;
    tall.height = side;
    bad.push_back(wide);
    bad.push_back(tall);
  }
  VideoFormat noSps = good, noPps = good, longSps = good, longPps = good;
  noSps.sps.clear();
  noPps.pps.clear();
  longSps.sps.resize(4096);
  longPps.pps.resize(4096);
  bad.insert(bad.end(), {noSps, noPps, longSps, longPps});

  // Unconfigured: stays so.
  for (const VideoFormat& format : bad) {
    const RemoteError error = thrown([&] { receiver.decoder.configure(format); });
    EXPECT_EQ(error.kind(), RemoteError::Kind::invalidPacket);
    EXPECT_EQ(error.what(), kInvalidPacket);
  }
  EXPECT_EQ(thrown([&] { receiver.decoder.decode(moving().frames[0]); }).what(), kBeforeFormat);

  // Running: the session and its reference pictures survive every refusal.
  receiver.decoder.configure(good);
  expectDecodes(receiver, moving(), 0, 2);
  for (const VideoFormat& format : bad)
    EXPECT_EQ(thrown([&] { receiver.decoder.configure(format); }).what(), kInvalidPacket);
  expectDecodes(receiver, moving(), 2, 4);
  EXPECT_TRUE(receiver.failures.empty());
}

TEST_F(VideoDecoderTest, AcceptsTheLargestSidesAndParameterSets) {
  Receiver receiver;
  VideoFormat largest = moving().format;
  largest.width = 4096;
  largest.height = 4096;
  receiver.decoder.configure(largest);
  expectDecodes(receiver, moving(), 0, 1);

  VideoFormat smallest = moving().format;
  smallest.width = smallest.height = 1;
  receiver.decoder.stop();
  receiver.decoder.configure(smallest);
  expectDecodes(receiver, moving(), 0, 1);

  // Trailing zero bytes are legal after a NAL unit, so padded sets still describe the stream.
  VideoFormat padded = moving().format;
  padded.sps.resize(4095, 0);
  padded.pps.resize(4095, 0);
  receiver.decoder.configure(padded);
  expectDecodes(receiver, moving(), 0, 3);
}

TEST_F(VideoDecoderTest, RepeatedParameterSetsKeepTheSessionAndNewOnesRebuildIt) {
  Receiver receiver;
  receiver.decoder.configure(moving().format);
  expectDecodes(receiver, moving(), 0, 4);

  // Same sets, another size: the session and its reference pictures stay, or the P frames
  // below would decode against nothing.
  VideoFormat resized = moving().format;
  resized.width = 4096;
  receiver.decoder.configure(resized);
  expectDecodes(receiver, moving(), 4, 8);

  // New sets (another resolution): a new session that decodes the new stream at its size.
  const EncodedStream other = test::encodeH264(256, 144, 4);
  ASSERT_NE(other.format.sps, moving().format.sps);
  receiver.decoder.configure(other.format);
  expectDecodes(receiver, other, 0, 4);

  // And back: the first stream from its key frame.
  receiver.decoder.configure(moving().format);
  expectDecodes(receiver, moving(), 0, 3);
  EXPECT_TRUE(receiver.failures.empty());
}

TEST_F(VideoDecoderTest, FramesNeedAUsableFormat) {
  Receiver receiver;
  const RemoteError early = thrown([&] { receiver.decoder.decode(moving().frames[0]); });
  EXPECT_EQ(early.kind(), RemoteError::Kind::unavailable);
  EXPECT_EQ(early.what(), kBeforeFormat);
  // An empty payload without a format is still "before format": the format is checked first.
  EXPECT_EQ(thrown([&] { receiver.decoder.decode({}); }).what(), kBeforeFormat);

  receiver.decoder.configure(moving().format);
  EXPECT_EQ(receiver.decoder.decoderName().rfind("h264", 0), 0u);
  const RemoteError empty = thrown([&] { receiver.decoder.decode({}); });
  EXPECT_EQ(empty.kind(), RemoteError::Kind::invalidPacket);
  EXPECT_EQ(empty.what(), kInvalidPacket);
  expectDecodes(receiver, moving(), 0, 2);

  receiver.decoder.stop();
  EXPECT_EQ(receiver.decoder.decoderName(), "");
  EXPECT_FALSE(receiver.decoder.isHardware());
  EXPECT_EQ(thrown([&] { receiver.decoder.decode(moving().frames[2]); }).what(), kBeforeFormat);

  // stop() forgot the format: the same sets build a new session (from the key frame), and the
  // callbacks set before are still the ones called.
  receiver.decoder.configure(moving().format);
  expectDecodes(receiver, moving(), 0, 2);

  // A format that fails to build leaves no session behind, not even the previous one.
  VideoFormat broken = moving().format;
  broken.sps.resize(3);
  EXPECT_EQ(thrown([&] { receiver.decoder.configure(broken); }).what(),
            invalidFormat(AVERROR_INVALIDDATA));
  EXPECT_EQ(thrown([&] { receiver.decoder.decode(moving().frames[2]); }).what(), kBeforeFormat);
}

// Whether a device opens depends on the machine; without one (CI, this project's build
// machines) this is the test of the fallback to software.
TEST_F(VideoDecoderTest, ClaimsHardwareOnlyWhenADeviceOpens) {
  bool deviceOpens = false;
  for (AVHWDeviceType type :
       {AV_HWDEVICE_TYPE_VAAPI, AV_HWDEVICE_TYPE_VDPAU, AV_HWDEVICE_TYPE_CUDA}) {
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, type, nullptr, nullptr, 0) >= 0) deviceOpens = true;
    av_buffer_unref(&device);
  }
  Receiver automatic;
  automatic.decoder.configure(moving().format);
  expectDecodes(automatic, moving(), 0, 3);
  if (deviceOpens) {
    EXPECT_NE(automatic.decoder.decoderName(), "h264");
  } else {
    EXPECT_EQ(automatic.decoder.decoderName(), "h264");
    EXPECT_FALSE(automatic.decoder.isHardware());
    EXPECT_EQ(automatic.frames.front()->pixelFormat(), AV_PIX_FMT_YUV420P);
  }

  Receiver software(VideoDecoder::Acceleration::softwareOnly);
  software.decoder.configure(moving().format);
  expectDecodes(software, moving(), 0, 3);
  EXPECT_EQ(software.decoder.decoderName(), "h264");
  EXPECT_FALSE(software.decoder.isHardware());
}

TEST_F(VideoDecoderTest, ParameterSetsMustBeAnSpsAndAPpsThatParse) {
  const VideoFormat good = moving().format;
  std::vector<std::pair<const char*, VideoFormat>> cases;
  VideoFormat format = good;
  format.sps.resize(3);  // too short to carry profile and level
  cases.emplace_back("three-byte SPS", format);
  format = good;
  std::swap(format.sps, format.pps);
  cases.emplace_back("sets swapped", format);
  format = good;
  format.sps[0] |= 0x80;
  cases.emplace_back("forbidden bit", format);
  format = good;
  format.sps = {0x67, 0x42, 0x00, 0x1e, 0x04, 0x30};  // seq_parameter_set_id 32, beyond 31
  cases.emplace_back("SPS id out of range", format);
  format = good;
  format.pps = {0x68, 0x9a};  // refers to SPS 5, which was never given
  cases.emplace_back("PPS without its SPS", format);

  for (const auto& [name, formatCase] : cases) {
    const VideoFormat candidate = formatCase;  // a plain variable: lambdas capture it
    VideoDecoder decoder;
    const RemoteError error = thrown([&] { decoder.configure(candidate); });
    EXPECT_EQ(error.kind(), RemoteError::Kind::unavailable) << name;
    EXPECT_EQ(error.what(), invalidFormat(AVERROR_INVALIDDATA)) << name;
    EXPECT_EQ(thrown([&] { decoder.decode(moving().frames[0]); }).what(), kBeforeFormat) << name;
  }
}

TEST_F(VideoDecoderTest, PicturesMatchTheirSourceInSizeLayoutAndContent) {
  Receiver receiver;
  constexpr uint8_t kGrey = 90;
  StreamOptions options;
  options.width = 200;
  options.height = 120;
  options.frames = 3;
  options.paint = test::flatPainter(kGrey);
  const EncodedStream flat = test::encodeH264(options);
  receiver.decoder.configure(flat.format);
  for (const Bytes& frame : flat.frames) receiver.decoder.decode(frame);
  ASSERT_EQ(receiver.frames.size(), 3u);
  for (const auto& frame : receiver.frames) {
    ASSERT_EQ(frame->width(), 200);
    ASSERT_EQ(frame->height(), 120);
    const bool planar = frame->pixelFormat() == AV_PIX_FMT_YUV420P;
    ASSERT_TRUE(planar || frame->pixelFormat() == AV_PIX_FMT_NV12) << frame->pixelFormat();
    ASSERT_EQ(frame->planeCount(), planar ? 3 : 2);
    EXPECT_EQ(frame->plane(frame->planeCount()), nullptr);
    EXPECT_FALSE(frame->isFullRange());  // x264 writes video range by default
    // Every luma sample near the grey, every chroma sample near neutral.
    for (int row = 0; row < 120; ++row) {
      for (int col = 0; col < 200; ++col) {
        ASSERT_NEAR(frame->plane(0)[row * frame->stride(0) + col], kGrey, 2) << row << "," << col;
      }
    }
    for (int row = 0; row < 60; ++row) {
      const uint8_t* chroma = frame->plane(1) + row * frame->stride(1);
      for (int sample = 0; sample < 100; ++sample) ASSERT_NEAR(chroma[sample], 128, 2);
    }
  }
  // Moving content: each access unit gives its picture before decode() returns, and it matches.
  receiver.decoder.configure(moving().format);
  expectDecodes(receiver, moving(), 0, moving().frames.size());
  EXPECT_TRUE(receiver.failures.empty());
}

TEST_F(VideoDecoderTest, PicturesTheViewCannotDrawAreReportedNotDelivered) {
  // 4:4:4 is valid H.264 but not a layout the view uploads.
  StreamOptions options;
  options.width = 128;
  options.height = 96;
  options.frames = 2;
  options.pixelFormat = AV_PIX_FMT_YUV444P;
  const EncodedStream full = test::encodeH264(options);
  Receiver receiver;
  receiver.decoder.configure(full.format);
  for (const Bytes& frame : full.frames) receiver.decoder.decode(frame);
  EXPECT_TRUE(receiver.frames.empty());
  EXPECT_EQ(receiver.failures, std::vector<std::string>(2, "Video decode callback failed: " +
                                                               std::to_string(AVERROR(ENOTSUP))));

  // Without callbacks, pictures and failures are dropped silently.
  VideoDecoder silent;
  silent.configure(full.format);
  for (const Bytes& frame : full.frames) EXPECT_NO_THROW(silent.decode(frame));
  silent.configure(moving().format);
  for (const Bytes& frame : moving().frames) EXPECT_NO_THROW(silent.decode(frame));
}

// Payloads come from the network: NAL lengths may lie and the bytes may be anything. The only
// acceptable outcomes are a RemoteError, a failure report or (concealed) pictures of a sane size.
TEST_F(VideoDecoderTest, HostilePayloadsFailCleanlyAndTheNextKeyFrameRecovers) {
  Receiver receiver;
  receiver.decoder.configure(moving().format);
  expectDecodes(receiver, moving(), 0, 2);

  const Bytes& frame = moving().frames[2];
  std::vector<std::pair<std::string, Bytes>> payloads;
  Bytes lying = frame;
  const uint32_t tooLong = static_cast<uint32_t>(frame.size());  // 4 bytes more than remain
  for (int i = 0; i < 4; ++i) lying[i] = static_cast<uint8_t>(tooLong >> (24 - 8 * i));
  payloads.emplace_back("length past the end", lying);
  payloads.emplace_back("length 0xffffffff", Bytes{0xff, 0xff, 0xff, 0xff, 0x41, 0x9a});
  payloads.emplace_back("shorter than a length", Bytes{0x00, 0x00, 0x01});
  payloads.emplace_back("zero lengths", Bytes(64, 0));
  payloads.emplace_back("truncated", Bytes(frame.begin(), frame.begin() + frame.size() / 2));
  uint32_t seed = 12345;
  for (int round = 0; round < 16; ++round) {
    Bytes garbage(200 + round * 700);
    for (uint8_t& byte : garbage)
      byte = static_cast<uint8_t>((seed = seed * 1664525 + 1013904223) >> 24);
    if (round % 2) {  // honest lengths around garbage NAL units of slice types
      for (size_t at = 0; at + 64 <= garbage.size(); at += 64) {
        garbage[at] = garbage[at + 1] = garbage[at + 2] = 0;
        garbage[at + 3] = 60;
        garbage[at + 4] = round % 4 == 1 ? 0x65 : 0x41;
      }
    }
    payloads.emplace_back("garbage " + std::to_string(round), garbage);
  }

  for (const auto& [name, payload] : payloads) {
    try {
      receiver.decoder.decode(payload);
    } catch (const RemoteError& error) {
      EXPECT_EQ(std::string(error.what()).rfind("Video decode failed (", 0), 0u) << name;
    }
  }
  // A NAL unit that claims more bytes than the payload has is refused outright.
  EXPECT_EQ(thrown([&] { receiver.decoder.decode(lying); }).what(),
            "Video decode failed (" + std::to_string(AVERROR_INVALIDDATA) + ").");
  for (const auto& picture : receiver.frames) {
    ASSERT_GT(picture->width(), 0);
    ASSERT_LE(picture->width(), 4096);
    ASSERT_GT(picture->planeCount(), 0);
    // Touch the last row of every plane: AddressSanitizer objects if it is not there.
    volatile uint8_t last = picture->plane(0)[(picture->height() - 1) * picture->stride(0)];
    (void)last;
  }

  receiver.frames.clear();
  expectDecodes(receiver, moving(), 0, 4);
}

TEST_F(VideoDecoderTest, CallbacksMayStopTheDecoderAndFramesOutliveIt) {
  std::vector<std::shared_ptr<const RemoteFrame>> kept;
  {
    VideoDecoder decoder;
    int calls = 0;
    decoder.onFrame = [&](std::shared_ptr<const RemoteFrame> frame) {
      kept.push_back(std::move(frame));
      if (++calls == 2) decoder.stop();  // ends the session under the running decode()
    };
    decoder.configure(moving().format);
    decoder.decode(moving().frames[0]);
    decoder.decode(moving().frames[1]);
    EXPECT_EQ(thrown([&] { decoder.decode(moving().frames[2]); }).what(), kBeforeFormat);

    // Reconfiguring from inside the callback is allowed too.
    decoder.onFrame = [&](std::shared_ptr<const RemoteFrame> frame) {
      kept.push_back(std::move(frame));
      decoder.configure(moving().format);  // same sets: kept
    };
    decoder.configure(moving().format);
    decoder.decode(moving().frames[0]);
    decoder.decode(moving().frames[1]);
    // Destroyed with a live session: the pictures hold their own references.
  }
  ASSERT_EQ(kept.size(), 4u);
  for (size_t i = 0; i < kept.size(); ++i) EXPECT_GE(psnr(*kept[i], moving(), i % 2), 35.0) << i;
}

}  // namespace
}  // namespace veltra
