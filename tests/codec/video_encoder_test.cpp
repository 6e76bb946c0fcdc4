#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <string>
#include <thread>

#include "codec/H264NalUnits.h"
#include "codec/VideoEncoder.h"
#include "harness/harness.h"
#include "protocol/PacketFramer.h"
#include "protocol/RemoteError.h"
#include "protocol/VideoFormat.h"

extern "C" {
#include <libavutil/error.h>
}

namespace veltra {
namespace {

const RemoteConfiguration kSmall{320, 240, 60};
VideoEncoder::Options candidates(std::vector<std::string> names,
                                 std::vector<std::pair<std::string, std::string>> extra = {}) {
  VideoEncoder::Options options;
  options.candidates = std::move(names);
  options.extraOptions = std::move(extra);
  return options;
}
const VideoEncoder::Options kX264 = candidates({"libx264"});

struct SentPacket {
  RemotePacket type;
  Bytes payload;
};

// Records what the encoder sends. Completions run at once, before the packet is published (so a
// test that saw a frame may count on the encoder being free again), or are held for the test.
class RecordingSender final : public PacketSender {
 public:
  explicit RecordingSender(bool holdCompletions = false) : hold_(holdCompletions) {}

  void send(RemotePacket type, Bytes payload, std::function<void()> completion) override {
    if (!hold_ && completion) completion();
    std::lock_guard lock(mutex_);
    packets_.push_back({type, std::move(payload)});
    frames_ += type == RemotePacket::videoFrame;
    if (hold_ && completion) held_.push_back(std::move(completion));
    changed_.notify_all();
  }
  bool waitForFrames(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, test::kPatience, [&] { return frames_ >= count; });
  }
  std::vector<SentPacket> packets() {
    std::lock_guard lock(mutex_);
    return packets_;
  }
  void releaseCompletions() {
    std::unique_lock lock(mutex_);
    std::vector<std::function<void()>> held = std::move(held_);
    lock.unlock();
    for (auto& completion : held) completion();
  }

 private:
  const bool hold_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SentPacket> packets_;
  size_t frames_ = 0;
  std::vector<std::function<void()>> held_;
};

// NV12 content that moves every picture (a sliding diagonal gradient) without ever cutting.
ScreenPicture picture(int index, int width = 320, int height = 240) {
  auto pixels = std::make_shared<std::vector<uint8_t>>(width * height * 3 / 2, 128);
  uint8_t* luma = pixels->data();
  for (int i = 0; i < width * height; ++i)
    luma[i] = uint8_t(i % width + 2 * (i / width) + 3 * index);
  return ScreenPicture(width, height, PixelFormat::nv12,
                       {{{luma, width}, {luma + width * height, width}}}, pixels);
}

int64_t timeOf(int index, int fps = 60) {
  return index * 1'000'000LL / fps;
}

std::string openError(const RemoteConfiguration& configuration,
                      const VideoEncoder::Options& options) {
  try {
    VideoEncoder encoder(configuration, std::make_shared<RecordingSender>(), options);
    return "opened " + encoder.encoderName();
  } catch (const RemoteError& error) {
    EXPECT_EQ(error.kind(), RemoteError::Kind::unavailable);
    return error.what();
  }
}

class VideoEncoderStreamTest : public ::testing::TestWithParam<int> {};

// How frames are cut is the scripted session's test below; that real ones decode, the round trip's.
TEST_P(VideoEncoderStreamTest, AHighProfileFormatComesBeforeAKeyFrameEveryTwoSeconds) {
  const int fps = GetParam(), count = 4 * fps + 1;
  auto sender = std::make_shared<RecordingSender>();
  VideoEncoder encoder({320, 240, fps}, sender, kX264);
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(encoder.encode(picture(i), timeOf(i, fps))) << i;
    ASSERT_TRUE(sender->waitForFrames(static_cast<size_t>(i) + 1)) << i;
    encoder.acknowledgeFrame();
  }
  std::vector<int> keyPictures;
  int index = 0;
  for (const SentPacket& packet : sender->packets()) {
    if (packet.type == RemotePacket::videoFrame) {
      ++index;
      continue;
    }
    const VideoFormat format = VideoFormat::decodeJson(packet.payload);
    EXPECT_EQ(h264::nalType(format.sps), h264::kSequenceParameterSet);
    EXPECT_EQ(format.sps.at(1), 100) << "profile_idc: not High";
    EXPECT_EQ(h264::nalType(format.pps), h264::kPictureParameterSet);
    keyPictures.push_back(index);
  }
  EXPECT_EQ(index, count);
  EXPECT_EQ(keyPictures, (std::vector<int>{0, 2 * fps, 4 * fps}));
}

INSTANTIATE_TEST_SUITE_P(FrameRates, VideoEncoderStreamTest, ::testing::Values(60, 120));

// The rate that follows the link reaches the real encoder while it runs: grain at a twentieth of
// the rate comes out several times smaller.
TEST(VideoEncoderStreamTest, ANewBitRateTakesEffectWhileTheEncoderRuns) {
  auto session = openH264Session(kSmall, kX264);
  uint32_t seed = 1;
  auto frameBytes = [&](int index) {
    ScreenPicture grain = picture(index);
    uint8_t* luma = grain.plane(0).data;
    for (int i = 0; i < 320 * 240; ++i)
      luma[i] = uint8_t((seed = seed * 1664525 + 1013904223) >> 24);
    EXPECT_EQ(session->send(VideoPicture::wrap(grain), timeOf(index)), 0);
    H264Session::Packet packet;
    size_t bytes = 0;
    while (session->receive(packet) == 1) bytes += packet.data.size();
    return bytes;
  };
  // The last ten pictures of forty at each rate, once the rate control has settled.
  auto lastTen = [&](int from) {
    size_t bytes = 0;
    for (int i = from; i < from + 40; ++i) {
      const size_t size = frameBytes(i);
      if (i >= from + 30) bytes += size;
    }
    return bytes;
  };
  const size_t full = lastTen(0);
  session->setBitRate(session->bitRate() / 20);
  const size_t reduced = lastTen(40);
  EXPECT_LT(reduced * 4, full) << full << " bytes, then " << reduced;
}

// A picture FFmpeg rejects is reported and the next is taken. Three frames may be out
// unacknowledged, and none is taken while one is still being written (completions held).
// Stopped, the encoder takes nothing, and late completions are harmless.
TEST(VideoEncoderFlowTest, FramesWaitForAcksAndTheWriteAndNoneIsTakenAfterStop) {
  auto sender = std::make_shared<RecordingSender>(/*holdCompletions=*/true);
  auto encoder = std::make_unique<VideoEncoder>(kSmall, sender, kX264);
  std::string failure;  // written on the encoder queue before the next frame is sent
  encoder->onFailure = [&](std::string text) { failure = std::move(text); };
  ASSERT_TRUE(encoder->encode(picture(0, 160, 120), 0));  // not the configured size
  encoder->acknowledgeFrame();  // an ack with nothing outstanding must not buy a fourth frame
  for (int index = 0; index < 3; ++index) {
    ASSERT_TRUE(test::waitUntil([&] { return encoder->encode(picture(index), timeOf(index)); }));
    ASSERT_TRUE(sender->waitForFrames(static_cast<size_t>(index) + 1));
    EXPECT_FALSE(encoder->encode(picture(9), timeOf(9)));  // not yet written
    sender->releaseCompletions();
  }
  EXPECT_EQ(failure, "Encoding failed: " + std::to_string(AVERROR(EINVAL)));
  EXPECT_FALSE(encoder->encode(picture(3), timeOf(3)));
  encoder->acknowledgeFrame();
  EXPECT_EQ(encoder->unacknowledged(), 2);
  ASSERT_TRUE(encoder->encode(picture(4), timeOf(4)));
  ASSERT_TRUE(sender->waitForFrames(4));
  encoder->acknowledgeFrame();
  EXPECT_FALSE(encoder->encode(picture(5), timeOf(5)));  // acknowledged, but not yet written
  EXPECT_EQ(encoder->unacknowledged(), 2);
  encoder->stop();
  encoder->stop();
  sender->releaseCompletions();
  EXPECT_FALSE(encoder->encode(picture(6), timeOf(6)));
  encoder.reset();
  EXPECT_EQ(sender->packets().size(), 5u);  // the format and four frames

  // Destroyed right after taking a picture, without stop(): that picture is still encoded and
  // sent first, and its completion, run after the encoder is gone, must not touch it.
  sender = std::make_shared<RecordingSender>(/*holdCompletions=*/true);
  encoder = std::make_unique<VideoEncoder>(kSmall, sender, kX264);
  ASSERT_TRUE(encoder->encode(picture(0), 0));
  encoder.reset();
  EXPECT_EQ(sender->packets().size(), 2u);
  sender->releaseCompletions();
}

// The default chain opens the real mode with a key frame every two seconds (every candidate's
// options are set before it opens, so this proves this FFmpeg takes the NVENC and VA-API ones, GPU
// or not), and its threads read as encoding in `top -H`, not as the thread that created it.
TEST(VideoEncoderOpenTest, TheRealModeOpensAndItsThreadsCarryTheEncodeQueuesName) {
  // Sanitizer runtimes start a helper thread at the first thread a process creates.
  std::thread([] {}).join();
  const std::multiset<std::string> before = test::threadNames();
  VideoEncoder encoder({1920, 1080, 60}, std::make_shared<RecordingSender>());
  EXPECT_THAT(encoder.encoderName(), ::testing::AnyOf("h264_nvenc", "h264_vaapi", "libx264"));
  EXPECT_EQ(encoder.keyFrameInterval(), 120);
  std::multiset<std::string> started = test::threadNames();
  for (const std::string& name : before) started.erase(started.find(name));
  ASSERT_GE(started.size(), 2u) << "the queue and at least one encoder thread";
  for (const std::string& name : started) EXPECT_EQ(name, "veltra.encode");
}

TEST(VideoEncoderOpenTest, CandidatesFallBackInOrderAndARejectedOptionEndsTheSearch) {
  const std::string notFound =
      "Hardware H.264 encoder unavailable (" + std::to_string(AVERROR_ENCODER_NOT_FOUND) + ").";
  const std::string rejected =
      "Encoder configuration failed (no_such_option: " + std::to_string(AVERROR_OPTION_NOT_FOUND) +
      ").";
  const struct {
    RemoteConfiguration configuration;
    VideoEncoder::Options options;
    std::string result;
  } cases[] = {
      {kSmall, candidates({"no_such_encoder", "mpeg4"}), notFound},  // mpeg4: not H.264
      {kSmall, candidates({}), notFound},
      {kSmall, candidates({"no_such_encoder", "mpeg4", "libx264"}), "opened libx264"},
      // Even on a candidate that would be passed over.
      {kSmall, candidates({"h264_nvenc", "libx264"}, {{"no_such_option", "1"}}), rejected},
      // The last resort exists but will not open (libx264 takes no RGB); an unusable mode is
      // the same failure, caught before FFmpeg could divide by a zero rate.
      {kSmall, candidates({"libx264"}, {{"pixel_format", "rgb24"}}), "Unable to prepare encoder."},
      {{320, 240, 0}, kX264, "Unable to prepare encoder."},
  };
  for (const auto& each : cases)
    EXPECT_EQ(openError(each.configuration, each.options), each.result);
}

// An encoder that plays back a script: each send() releases the next step's results, and flush()
// the step after the last one sent.
class ScriptedSession final : public H264Session {
 public:
  struct Result {
    int status;  // 1 = a packet, else the receive() status
    Bytes annexB;
    bool key;
  };
  using Step = std::vector<Result>;

  ScriptedSession(std::deque<Step> steps, Bytes extradata = {})
      : steps_(std::move(steps)), extradata_(std::move(extradata)) {}

  int send(const VideoPicture&, int64_t) override { return flush(); }
  int flush() override {
    if (steps_.empty()) return 0;
    ready_.insert(ready_.end(), steps_.front().begin(), steps_.front().end());
    steps_.pop_front();
    return 0;
  }
  int receive(Packet& packet) override {
    if (ready_.empty()) return 0;
    current_ = std::move(ready_.front());
    ready_.pop_front();
    packet = {current_.annexB, current_.key};
    return current_.status;
  }
  ByteView extradata() const override { return extradata_; }
  std::string name() const override { return "scripted"; }
  int64_t bitRate() const override { return 0; }
  int keyFrameInterval() const override { return 0; }

 private:
  std::deque<Step> steps_;
  Bytes extradata_;
  std::deque<Result> ready_;
  Result current_;
};

ScriptedSession::Result unit(std::initializer_list<Bytes> nals, bool key = false) {
  ScriptedSession::Result result{1, {}, key};
  for (const Bytes& nal : nals) {
    result.annexB.insert(result.annexB.end(), {0, 0, 0, 1});
    result.annexB.insert(result.annexB.end(), nal.begin(), nal.end());
  }
  return result;
}

const Bytes kSps = {0x67, 0x64, 0x00, 0x1F};
const Bytes kPps = {0x68, 0xEE, 0x3C, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84};
const Bytes kSlice = {0x41, 0x9A, 0x02};

TEST(VideoEncoderOutputTest, UnitsThatCannotBeSentAreDroppedAndTheStreamGoesOn) {
  const size_t limit = PacketFramer::maximumSize - 101;
  Bytes atLimit(limit - 4, 0x5A);  // one unit whose length prefix brings it to the limit
  atLimit[0] = 0x41;
  Bytes overLimit = atLimit;
  overLimit.push_back(0x5A);
  std::deque<ScriptedSession::Step> steps = {
      {unit({kIdr}, true)},              // key frame, no parameter sets anywhere
      {unit({kSps, kPps})},              // nothing left once they are taken out
      {unit({})},                        // empty
      {unit({overLimit})},               // one byte too long
      {{AVERROR(EIO), {}, false}},       // the encoder fails
      {unit({atLimit})},                 // just fits
      {},                                // held back ...
      {unit({kSlice}), unit({kSlice})},  // ... and released
      {unit({kSps, kPps, kIdr}, true)},  // still held at the end: stop() drains it
  };
  auto sender = std::make_shared<RecordingSender>();
  VideoEncoder encoder(kSmall, sender, std::make_unique<ScriptedSession>(std::move(steps)));
  std::vector<std::string> failures;  // written on the encoder queue, read after stop()
  encoder.onFailure = [&](std::string text) { failures.push_back(std::move(text)); };

  // Each picture is taken once the previous one's unit went out or was given up: a drop that
  // forgot to free the encoder would stall here.
  for (int step = 0; step < 8; ++step) {
    ASSERT_TRUE(test::waitUntil([&] {
      encoder.acknowledgeFrame();
      return encoder.encode(picture(step), timeOf(step));
    })) << "step "
        << step;
  }
  encoder.stop();
  EXPECT_FALSE(encoder.encode(picture(8), timeOf(8)));

  const std::vector<SentPacket> packets = sender->packets();
  ASSERT_EQ(packets.size(), 5u);
  EXPECT_EQ(packets[0].payload.size(), limit);
  EXPECT_EQ(packets[1].payload, (Bytes{0, 0, 0, 3, 0x41, 0x9A, 0x02}));
  EXPECT_EQ(packets[2].payload, packets[1].payload);
  EXPECT_EQ(packets[3].type, RemotePacket::videoFormat);
  EXPECT_EQ(packets[4].payload, (Bytes{0, 0, 0, 3, 0x65, 0x88, 0x84}));
  EXPECT_EQ(failures,
            (std::vector<std::string>{"Video encoder failed: " + std::to_string(AVERROR(EIO))}));
}

TEST(VideoEncoderOutputTest, ParameterSetsGivenOnlyOutOfBandMakeTheFormat) {
  auto sender = std::make_shared<RecordingSender>();
  VideoEncoder encoder(
      kSmall, sender,
      std::make_unique<ScriptedSession>(std::deque<ScriptedSession::Step>{{unit({kIdr}, true)}},
                                        unit({kSps, kPps}).annexB));
  ASSERT_TRUE(encoder.encode(picture(0), 0));
  ASSERT_TRUE(sender->waitForFrames(1));
  const std::vector<SentPacket> packets = sender->packets();
  ASSERT_EQ(packets.size(), 2u);
  const VideoFormat format = VideoFormat::decodeJson(packets[0].payload);
  EXPECT_EQ(format.sps, kSps);
  EXPECT_EQ(format.pps, kPps);
  EXPECT_EQ(format.width, 320);
  EXPECT_EQ(packets[1].payload, (Bytes{0, 0, 0, 3, 0x65, 0x88, 0x84}));
}

}  // namespace
}  // namespace veltra
