// The host's encoder and the client's decoder back to back at both streaming sizes, with the
// ffmpeg command-line decoder as an independent judge of the stream in between.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "codec/VideoDecoder.h"
#include "codec/VideoEncoder.h"
#include "h264_test_stream.h"
#include "protocol/PacketSender.h"
#include "protocol/RemoteConfiguration.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Two seconds at 60 fps; a few pictures where the sanitizers slow everything down.
constexpr int kPictures = kSanitized ? 10 : 120;

struct Packet {
  RemotePacket type;
  Bytes payload;
};

// What the encoder sends, in order. Completions run at once, as a connection's would once the
// kernel took the bytes.
class Recorder final : public PacketSender {
 public:
  void send(RemotePacket type, Bytes payload, std::function<void()> completion) override {
    if (completion) completion();
    std::lock_guard lock(mutex_);
    if (type == RemotePacket::videoFrame) ++frames_;
    packets_.push_back({type, std::move(payload)});
    changed_.notify_all();
  }

  bool waitForFrames(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return frames_ >= count; });
  }

  std::vector<Packet> packets() {
    std::lock_guard lock(mutex_);
    return packets_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Packet> packets_;
  int frames_ = 0;
};

// A picture of ours over a painted frame's planes; the frame lives as long as the picture.
ScreenPicture nv12(int width, int height, int index, const test::Painter& paint) {
  AVFrame* frame = av_frame_alloc();
  frame->width = width;
  frame->height = height;
  frame->format = AV_PIX_FMT_NV12;
  if (av_frame_get_buffer(frame, 0) < 0) av_frame_free(&frame);
  if (!frame) return {};
  paint(frame, index);
  const std::shared_ptr<AVFrame> owner(frame, [](AVFrame* f) { av_frame_free(&f); });
  return ScreenPicture(
      width, height, PixelFormat::nv12,
      {{{frame->data[0], frame->linesize[0]}, {frame->data[1], frame->linesize[1]}}}, owner);
}

class VideoRoundTripTest : public ::testing::TestWithParam<RemoteConfiguration> {};

TEST_P(VideoRoundTripTest, EncodedPicturesDecodeCloseToTheSourceAndFFmpegAgrees) {
  const RemoteConfiguration configuration = GetParam();
  const int width = configuration.width, height = configuration.height;
  const auto recorder = std::make_shared<Recorder>();
  VideoEncoder encoder(configuration, recorder);
  std::vector<std::string> encoderFailures;
  encoder.onFailure = [&](std::string text) { encoderFailures.push_back(std::move(text)); };

  // One picture at a time, each acknowledged once sent, as a client keeping up would.
  const test::Painter paint = test::movingPainter();
  std::vector<Bytes> sources;
  for (int index = 0; index < kPictures; ++index) {
    const ScreenPicture picture = nv12(width, height, index, paint);
    ASSERT_TRUE(picture);
    Bytes luma(static_cast<size_t>(width) * height);
    for (int row = 0; row < height; ++row) {
      const uint8_t* line = picture.plane(0).data + row * picture.plane(0).stride;
      std::copy(line, line + width, luma.begin() + static_cast<ptrdiff_t>(row) * width);
    }
    sources.push_back(std::move(luma));
    ASSERT_TRUE(encoder.encode(picture, index * 16'667)) << "picture " << index << " refused";
    ASSERT_TRUE(recorder->waitForFrames(index + 1)) << "no videoFrame for picture " << index;
    encoder.acknowledgeFrame();
  }
  encoder.stop();
  ASSERT_TRUE(encoderFailures.empty()) << encoderFailures.front();

  // The client's side: every packet in order, every picture compared with its source.
  VideoDecoder decoder;
  std::vector<std::shared_ptr<const RemoteFrame>> frames;
  std::vector<std::string> failures;
  decoder.onFrame = [&](std::shared_ptr<const RemoteFrame> frame) {
    frames.push_back(std::move(frame));
  };
  decoder.onFailure = [&](std::string text) { failures.push_back(std::move(text)); };
  Bytes annexB;
  Bytes parameterSets;
  int formats = 0;
  for (const Packet& packet : recorder->packets()) {
    if (packet.type == RemotePacket::videoFormat) {
      const VideoFormat format = VideoFormat::decodeJson(packet.payload);
      EXPECT_EQ(format.width, width);
      EXPECT_EQ(format.height, height);
      decoder.configure(format);
      parameterSets = test::annexBParameterSets(format);
      ++formats;
    } else if (packet.type == RemotePacket::videoFrame) {
      decoder.decode(packet.payload);
      const Bytes unit = test::toAnnexB(packet.payload, parameterSets);
      annexB.insert(annexB.end(), unit.begin(), unit.end());
      parameterSets.clear();  // only in front of the key frame they came with
    }
  }
  EXPECT_GE(formats, 1);
  EXPECT_TRUE(failures.empty()) << failures.front();
  ASSERT_EQ(frames.size(), static_cast<size_t>(kPictures));
  double worst = 99;
  for (size_t index = 0; index < frames.size(); ++index) {
    const RemoteFrame& frame = *frames[index];
    ASSERT_EQ(frame.width(), width);
    ASSERT_EQ(frame.height(), height);
    // The stream says how its samples read, so the view converts with the capture's matrix.
    EXPECT_EQ(frame.colorSpace(), AVCOL_SPC_SMPTE170M);
    EXPECT_FALSE(frame.isFullRange());
    worst = std::min(worst, test::lumaPsnr(frame.plane(0), frame.stride(0), sources[index].data(),
                                           width, width, height));
  }
  EXPECT_GE(worst, 35.0) << "worst luma PSNR in dB";

  // An independent decoder reads the same stream, as Annex B, and sees the same pictures.
  const test::CommandLineDecode reference = test::decodeWithCommandLine(annexB);
  ASSERT_TRUE(reference.ran) << reference.errors;
  EXPECT_EQ(reference.errors, "");
  EXPECT_EQ(reference.width, width);
  EXPECT_EQ(reference.height, height);
  ASSERT_EQ(reference.md5s.size(), frames.size());
  if (frames.front()->pixelFormat() == AV_PIX_FMT_YUV420P) {  // software: bit for bit
    for (size_t index = 0; index < frames.size(); ++index)
      ASSERT_EQ(test::packedMd5(frames[index]->picture().frame()), reference.md5s[index])
          << "picture " << index;
  }
}

std::string sizeName(const ::testing::TestParamInfo<RemoteConfiguration>& size) {
  return std::to_string(size.param.width) + "x" + std::to_string(size.param.height);
}

INSTANTIATE_TEST_SUITE_P(StreamingSizes, VideoRoundTripTest,
                         ::testing::Values(RemoteConfiguration{1920, 1080, 60},
                                           RemoteConfiguration{2560, 1440, 60}),
                         sizeName);

}  // namespace
}  // namespace veltra
