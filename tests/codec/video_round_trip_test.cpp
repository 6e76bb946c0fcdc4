// The host's encoder and the client's decoder back to back at both streaming sizes.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "codec/ScreenPicture.h"
#include "codec/VideoDecoder.h"
#include "codec/VideoEncoder.h"
#include "h264_test_stream.h"
#include "harness/harness.h"
#include "protocol/PacketSender.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

// Two seconds at 60 fps; a few pictures where the sanitizers slow everything down.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kPictures = 10;
#else
constexpr int kPictures = 120;
#endif

// The client's side: every packet decoded as it is sent, on the encoder's queue. Completions
// run at once, as a connection's would once the kernel took the bytes.
struct Client final : PacketSender {
  Client() {
    decoder.onFrame = [this](std::shared_ptr<const RemoteFrame> frame) {
      latest = std::move(frame);
      ++decoded;
    };
    decoder.onFailure = [](std::string text) { ADD_FAILURE() << text; };
  }
  void send(RemotePacket type, Bytes payload, std::function<void()> completion) override {
    if (completion) completion();
    std::lock_guard lock(mutex);
    try {
      if (type == RemotePacket::videoFormat) decoder.configure(VideoFormat::decodeJson(payload));
      if (type == RemotePacket::videoFrame) decoder.decode(payload);
    } catch (const std::exception& error) {
      ADD_FAILURE() << error.what();
    }
    frames += type == RemotePacket::videoFrame;
  }

  std::mutex mutex;
  VideoDecoder decoder;
  std::shared_ptr<const RemoteFrame> latest;  // only one: 120 of 1440p would take 660 MB
  int decoded = 0;
  std::atomic<int> frames{0};
};

class VideoRoundTripTest : public ::testing::TestWithParam<RemoteConfiguration> {};

TEST_P(VideoRoundTripTest, EveryPictureDecodesAtOnceCloseToItsSource) {
  const int width = GetParam().width, height = GetParam().height;
  const auto client = std::make_shared<Client>();
  VideoEncoder encoder(GetParam(), client);
  encoder.onFailure = [&](std::string text) { ADD_FAILURE() << text; };
  const test::Painter paint = test::movingPainter();
  double worst = 99;
  // One picture at a time, each acknowledged once decoded, as a client keeping up would.
  for (int index = 0; index < kPictures; ++index) {
    AVFrame* frame = av_frame_alloc();
    frame->width = width;
    frame->height = height;
    frame->format = AV_PIX_FMT_NV12;
    ASSERT_GE(av_frame_get_buffer(frame, 0), 0);
    paint(frame, index);
    const int stride = frame->linesize[0];
    const Bytes source(frame->data[0], frame->data[0] + stride * height);
    const std::shared_ptr<AVFrame> owner(frame, [](AVFrame* f) { av_frame_free(&f); });
    const ScreenPicture screen(
        width, height, PixelFormat::nv12,
        {{{frame->data[0], frame->linesize[0]}, {frame->data[1], frame->linesize[1]}}}, owner);
    ASSERT_TRUE(encoder.encode(screen, index * 16'667)) << index;
    ASSERT_TRUE(test::waitUntil([&] { return client->frames == index + 1; })) << index;
    std::lock_guard lock(client->mutex);
    ASSERT_EQ(client->decoded, index + 1);
    const RemoteFrame& picture = *client->latest;
    ASSERT_EQ(picture.width(), width);
    ASSERT_EQ(picture.height(), height);
    // The stream says how its samples read, so the view converts with the capture's matrix.
    EXPECT_EQ(picture.colorSpace(), AVCOL_SPC_SMPTE170M);
    EXPECT_FALSE(picture.isFullRange());
    worst = std::min(worst, test::lumaPsnr(picture.plane(0), picture.stride(0), source.data(),
                                           stride, width, height));
    encoder.acknowledgeFrame();
  }
  encoder.stop();
  EXPECT_GE(worst, 35.0) << "worst luma PSNR in dB";
}

INSTANTIATE_TEST_SUITE_P(StreamingSizes, VideoRoundTripTest,
                         ::testing::Values(RemoteConfiguration{1920, 1080, 60},
                                           RemoteConfiguration{2560, 1440, 60}));

}  // namespace
}  // namespace veltra
