#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "codec/H264NalUnits.h"
#include "codec/VideoEncoder.h"
#include "protocol/PacketFramer.h"
#include "protocol/RemoteError.h"
#include "protocol/VideoFormat.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace veltra {
namespace {

using namespace std::chrono_literals;

// Generous bound for conditions that normally hold within milliseconds (sanitizer builds on a
// shared 2-core machine are slow); never a delay the tests sit through.
constexpr auto kBound = 30s;

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
    if (type == RemotePacket::videoFrame) ++frames_;
    if (hold_ && completion) held_.push_back(std::move(completion));
    changed_.notify_all();
  }

  bool waitForFrames(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return frames_ >= count; });
  }
  size_t frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::vector<SentPacket> packets() {
    std::lock_guard lock(mutex_);
    return packets_;
  }
  void releaseCompletions() {
    std::vector<std::function<void()>> held;
    {
      std::lock_guard lock(mutex_);
      held.swap(held_);
    }
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

template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// NV12 content that moves every picture (a sliding diagonal gradient) without ever cutting.
VideoPicture picture(int index, int width = 320, int height = 240) {
  AVFrame* frame = av_frame_alloc();
  frame->format = AV_PIX_FMT_NV12;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame, 0) < 0) std::abort();
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      frame->data[0][y * frame->linesize[0] + x] = static_cast<uint8_t>(x + 2 * y + 3 * index);
    }
  }
  for (int y = 0; y < height / 2; ++y)
    std::memset(frame->data[1] + y * frame->linesize[1], 128, width);
  return VideoPicture::adopt(frame);
}

int64_t timeOf(int index, int fps) {
  return index * 1'000'000LL / fps;
}

// The NAL units behind 4-byte lengths; empty when the lengths do not tile the payload.
std::vector<ByteView> lengthPrefixedUnits(ByteView payload) {
  std::vector<ByteView> nals;
  size_t offset = 0;
  while (offset < payload.size()) {
    if (payload.size() - offset < 4) return {};
    const size_t length = size_t{payload[offset]} << 24 | size_t{payload[offset + 1]} << 16 |
                          size_t{payload[offset + 2]} << 8 | payload[offset + 3];
    offset += 4;
    if (length == 0 || length > payload.size() - offset) return {};
    nals.push_back(payload.subspan(offset, length));
    offset += length;
  }
  return nals;
}

bool isKeyFrame(const SentPacket& packet) {
  const std::vector<ByteView> nals = lengthPrefixedUnits(packet.payload);
  return std::any_of(nals.begin(), nals.end(),
                     [](ByteView nal) { return h264::nalType(nal) == h264::kIdrSlice; });
}

// Feeds `count` pictures one at a time, acknowledging each frame as a quick client would.
std::vector<SentPacket> stream(VideoEncoder& encoder, RecordingSender& sender, int count, int fps) {
  for (int i = 0; i < count; ++i) {
    EXPECT_TRUE(encoder.encode(picture(i), timeOf(i, fps))) << "picture " << i;
    if (!sender.waitForFrames(static_cast<size_t>(i) + 1)) {
      ADD_FAILURE() << "no frame for picture " << i;
      break;
    }
    encoder.acknowledgeFrame();
  }
  return sender.packets();
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

TEST_P(VideoEncoderStreamTest, KeyFramesComeEveryTwoSecondsBehindAFormatAndUnitsAreLengthPrefixed) {
  const int fps = GetParam();
  auto sender = std::make_shared<RecordingSender>();
  VideoEncoder encoder({320, 240, fps}, sender, kX264);
  EXPECT_EQ(encoder.keyFrameInterval(), 2 * fps);

  const std::vector<SentPacket> packets = stream(encoder, *sender, 4 * fps + 1, fps);
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.front().type, RemotePacket::videoFormat);
  std::vector<int> keyPictures;
  int pictureIndex = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    if (packets[i].type == RemotePacket::videoFormat) {
      ASSERT_LT(i + 1, packets.size());
      EXPECT_TRUE(isKeyFrame(packets[i + 1])) << "a format not followed by its key frame";
      const VideoFormat format = VideoFormat::decodeJson(packets[i].payload);
      EXPECT_EQ(format.width, 320);
      EXPECT_EQ(format.height, 240);
      EXPECT_EQ(h264::nalType(format.sps), h264::kSequenceParameterSet);
      EXPECT_EQ(format.sps.at(1), 100) << "profile_idc: not High";
      EXPECT_EQ(h264::nalType(format.pps), h264::kPictureParameterSet);
      continue;
    }
    // Whole length-prefixed units, parameter sets out, no start code left at a unit's head (it
    // would read as type 0).
    const std::vector<ByteView> nals = lengthPrefixedUnits(packets[i].payload);
    ASSERT_FALSE(nals.empty()) << "lengths do not tile frame " << pictureIndex;
    for (ByteView nal : nals) {
      EXPECT_EQ(nal[0] & 0x80, 0);
      EXPECT_THAT(int{h264::nalType(nal)},
                  ::testing::AllOf(::testing::Ge(1), ::testing::Le(12),
                                   ::testing::Ne(h264::kSequenceParameterSet),
                                   ::testing::Ne(h264::kPictureParameterSet)));
    }
    if (isKeyFrame(packets[i])) {
      keyPictures.push_back(pictureIndex);
      EXPECT_TRUE(i > 0 && packets[i - 1].type == RemotePacket::videoFormat)
          << "key frame of picture " << pictureIndex << " without a format in front";
    }
    ++pictureIndex;
  }
  EXPECT_EQ(pictureIndex, 4 * fps + 1);
  EXPECT_EQ(keyPictures, (std::vector<int>{0, 2 * fps, 4 * fps}));
}

INSTANTIATE_TEST_SUITE_P(FrameRates, VideoEncoderStreamTest, ::testing::Values(60, 120));

TEST(VideoEncoderFlowTest, ThreeUnacknowledgedFramesThrottleUntilEachAckLetsOneMore) {
  auto sender = std::make_shared<RecordingSender>();
  VideoEncoder encoder(kSmall, sender, kX264);
  encoder.acknowledgeFrame();  // an ack with nothing outstanding must not buy a fourth frame
  EXPECT_EQ(encoder.unacknowledged(), 0);

  int index = 0;
  for (; index < 3; ++index) {
    ASSERT_TRUE(encoder.encode(picture(index), timeOf(index, 60)));
    ASSERT_TRUE(sender->waitForFrames(static_cast<size_t>(index) + 1));
  }
  EXPECT_EQ(encoder.unacknowledged(), 3);
  for (int dropped = 0; dropped < 5; ++dropped, ++index) {
    EXPECT_FALSE(encoder.encode(picture(index), timeOf(index, 60)));
  }
  encoder.acknowledgeFrame();
  EXPECT_EQ(encoder.unacknowledged(), 2);
  ASSERT_TRUE(encoder.encode(picture(index), timeOf(index, 60)));
  ASSERT_TRUE(sender->waitForFrames(4));
  ++index;
  EXPECT_FALSE(encoder.encode(picture(index), timeOf(index, 60)));

  encoder.stop();  // runs after every picture taken: all their packets are in by now
  EXPECT_EQ(sender->frames(), 4u);
  EXPECT_EQ(encoder.unacknowledged(), 3);
}

TEST(VideoEncoderFlowTest, APictureIsDroppedWhileTheLastFrameIsStillBeingSent) {
  auto sender = std::make_shared<RecordingSender>(/*holdCompletions=*/true);
  VideoEncoder encoder(kSmall, sender, kX264);
  ASSERT_TRUE(encoder.encode(picture(0), 0));
  ASSERT_TRUE(sender->waitForFrames(1));
  encoder.acknowledgeFrame();
  EXPECT_EQ(encoder.unacknowledged(), 0);
  EXPECT_FALSE(encoder.encode(picture(1), timeOf(1, 60)));  // acknowledged, but not yet sent

  sender->releaseCompletions();
  EXPECT_TRUE(encoder.encode(picture(2), timeOf(2, 60)));
  EXPECT_TRUE(sender->waitForFrames(2));
}

TEST(VideoEncoderFlowTest, NothingGoesOutAfterStopAndLateCompletionsFindNothingToTouch) {
  auto sender = std::make_shared<RecordingSender>(/*holdCompletions=*/true);
  auto encoder = std::make_unique<VideoEncoder>(kSmall, sender, kX264);
  ASSERT_TRUE(encoder->encode(picture(0), 0));
  ASSERT_TRUE(sender->waitForFrames(1));
  encoder->stop();
  encoder->stop();
  const size_t sent = sender->packets().size();
  EXPECT_EQ(sent, 2u);  // the format and the key frame
  sender->releaseCompletions();
  EXPECT_FALSE(encoder->encode(picture(1), timeOf(1, 60)));
  encoder.reset();
  EXPECT_EQ(sender->packets().size(), sent);

  // Destroyed right after taking a picture, without stop(): that picture is still encoded and
  // sent first, and its completion, run after the encoder is gone, must not touch it.
  auto otherSender = std::make_shared<RecordingSender>(/*holdCompletions=*/true);
  auto other = std::make_unique<VideoEncoder>(kSmall, otherSender, kX264);
  ASSERT_TRUE(other->encode(picture(0), 0));
  other.reset();
  EXPECT_EQ(otherSender->frames(), 1u);
  otherSender->releaseCompletions();
}

TEST(VideoEncoderOpenTest, RealConfigurationsOpenWithTheirBitRateAndKeyFrameInterval) {
  // Every candidate's options are set before it is opened, so opening the full chain here also
  // proves that this FFmpeg accepts the NVENC and VA-API settings, GPU or not.
  const struct {
    RemoteConfiguration configuration;
    int64_t bitRate;
    int keyFrameInterval;
  } cases[] = {{{1920, 1080, 60}, 20'000'000, 120},
               {{1920, 1080, 120}, 20'000'000, 240},
               {{2560, 1440, 60}, 35'000'000, 120},
               {{2560, 1440, 120}, 35'000'000, 240}};
  for (const auto& each : cases) {
    VideoEncoder encoder(each.configuration, std::make_shared<RecordingSender>());
    EXPECT_THAT(encoder.encoderName(), ::testing::AnyOf("h264_nvenc", "h264_vaapi", "libx264"));
    EXPECT_EQ(encoder.bitRate(), each.bitRate);
    EXPECT_EQ(encoder.keyFrameInterval(), each.keyFrameInterval);
  }
}

// The encoder's own threads read as encoding in `top -H` and in the benches' per-thread CPU, not
// as the thread that happened to create the encoder.
TEST(VideoEncoderOpenTest, ThreadsTheEncoderStartsCarryTheEncodeQueuesName) {
  const auto threadNames = [] {
    std::multiset<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      std::ifstream comm(task.path() / "comm");
      std::string name;
      std::getline(comm, name);
      names.insert(name);
    }
    return names;
  };
  // Sanitizer runtimes start a helper thread of their own at the first thread a process
  // creates, named after its creator; let that happen before counting.
  std::thread([] {}).join();
  const std::multiset<std::string> before = threadNames();
  VideoEncoder encoder({1920, 1080, 60}, std::make_shared<RecordingSender>());
  std::multiset<std::string> started = threadNames();
  for (const std::string& name : before) started.erase(started.find(name));
  ASSERT_GE(started.size(), 2u) << "the queue and at least one encoder thread";
  for (const std::string& name : started) EXPECT_EQ(name, "veltra.encode");
}

TEST(VideoEncoderOpenTest, CandidatesFallBackInOrderAndEachFailureHasItsMessage) {
  const std::string notFound =
      "Hardware H.264 encoder unavailable (" + std::to_string(AVERROR_ENCODER_NOT_FOUND) + ").";
  EXPECT_EQ(openError(kSmall, candidates({"no_such_encoder"})), notFound);
  EXPECT_EQ(openError(kSmall, candidates({"mpeg4"})), notFound);  // exists, but not H.264
  EXPECT_EQ(openError(kSmall, candidates({})), notFound);
  EXPECT_EQ(openError(kSmall, candidates({"no_such_encoder", "mpeg4", "libx264"})),
            "opened libx264");

  // A rejected option stops the search at once, even on a candidate that would be passed over.
  const std::string rejected =
      "Encoder configuration failed (no_such_option: " + std::to_string(AVERROR_OPTION_NOT_FOUND) +
      ").";
  EXPECT_EQ(openError(kSmall, candidates({"h264_nvenc", "libx264"}, {{"no_such_option", "1"}})),
            rejected);

  // The last resort exists but will not open (libx264 takes no RGB); an unusable mode is the
  // same failure, caught before FFmpeg could divide by a zero rate.
  EXPECT_EQ(
      openError(kSmall, candidates({"no_such_encoder", "libx264"}, {{"pixel_format", "rgb24"}})),
      "Unable to prepare encoder.");
  EXPECT_EQ(openError({320, 240, 0}, kX264), "Unable to prepare encoder.");
}

TEST(VideoEncoderErrorTest, ARejectedPictureReportsEncodingFailedAndTheNextIsTaken) {
  auto sender = std::make_shared<RecordingSender>();
  VideoEncoder encoder(kSmall, sender, kX264);
  std::mutex mutex;
  std::vector<std::string> failures;
  encoder.onFailure = [&](std::string text) {
    std::lock_guard lock(mutex);
    failures.push_back(std::move(text));
  };
  ASSERT_TRUE(encoder.encode(picture(0, 160, 120), 0));  // not the configured size
  ASSERT_TRUE(eventually([&] { return encoder.encode(picture(1), timeOf(1, 60)); }));
  ASSERT_TRUE(sender->waitForFrames(1));
  std::lock_guard lock(mutex);
  EXPECT_EQ(failures,
            (std::vector<std::string>{"Encoding failed: " + std::to_string(AVERROR(EINVAL))}));
}

// An encoder that plays back a script: each send() releases the next step's results.
class ScriptedSession final : public H264Session {
 public:
  struct Result {
    int status;  // 1 = a packet, else the receive() status
    Bytes annexB;
    bool key;
  };
  using Step = std::vector<Result>;

  ScriptedSession(std::deque<Step> steps, Bytes extradata, Step flushed = {})
      : steps_(std::move(steps)), extradata_(std::move(extradata)), flushed_(std::move(flushed)) {}

  int send(const VideoPicture&, int64_t) override {
    release(steps_.front());
    steps_.pop_front();
    return 0;
  }
  int flush() override {
    release(flushed_);
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
  void release(const Step& step) { ready_.insert(ready_.end(), step.begin(), step.end()); }
  std::deque<Step> steps_;
  Bytes extradata_;
  Step flushed_;
  std::deque<Result> ready_;
  Result current_;
};

ScriptedSession::Result unit(Bytes data, bool key = false) {
  return {1, std::move(data), key};
}
ScriptedSession::Result failure(int status) {
  return {status, {}, false};
}

Bytes annexB(std::initializer_list<Bytes> nals) {
  Bytes out;
  for (const Bytes& nal : nals) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
  }
  return out;
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
      {unit(annexB({kIdr}), true)},                      // key frame, no parameter sets anywhere
      {unit(annexB({kSps, kPps}))},                      // nothing left once they are taken out
      {unit({})},                                        // empty
      {unit(annexB({overLimit}))},                       // one byte too long
      {failure(AVERROR(EIO))},                           // the encoder fails
      {unit(annexB({atLimit}))},                         // just fits
      {},                                                // held back ...
      {unit(annexB({kSlice})), unit(annexB({kSlice}))},  // ... and released
  };
  // What the encoder still holds at the end goes out when stop() drains it.
  const ScriptedSession::Step flushed = {unit(annexB({kSps, kPps, kIdr}), true)};
  auto sender = std::make_shared<RecordingSender>();
  VideoEncoder encoder(kSmall, sender,
                       std::make_unique<ScriptedSession>(std::move(steps), Bytes{}, flushed));
  std::vector<std::string> failures;  // written on the encoder queue, read after stop()
  encoder.onFailure = [&](std::string text) { failures.push_back(std::move(text)); };

  // Each picture is taken once the previous one's unit went out or was given up: a drop that
  // forgot to free the encoder would stall here.
  for (int step = 0; step < 8; ++step) {
    ASSERT_TRUE(eventually([&] {
      encoder.acknowledgeFrame();
      return encoder.encode(picture(step), timeOf(step, 60));
    })) << "step "
        << step;
  }
  encoder.stop();
  EXPECT_FALSE(encoder.encode(picture(8), timeOf(8, 60)));

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
      std::make_unique<ScriptedSession>(
          std::deque<ScriptedSession::Step>{{unit(annexB({kIdr}), true)}}, annexB({kSps, kPps})));
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
