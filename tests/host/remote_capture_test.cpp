#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture_test_support.h"
#include "host/RemoteCapture.h"
#include "support/AsioMainQueue.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::Clock;

const char kUnavailable[] = "Virtual display is not available to screen capture.";
const char kLost[] = "Virtual display connection lost.";
const char kStopped[] = "Screen capture was stopped.";

// A display the test scripts: when it can be opened, when its screen changes, when it breaks.
// Grab number n writes n into the first luma bytes and reports row n as its damage.
class ScriptedSource final : public ScreenSource {
 public:
  struct Script {
    std::mutex mutex;
    std::condition_variable changed;
    int opensOnTry = 1;  // 0: never
    bool changing = false, announces = false, broken = false, grabFails = false;
    std::vector<Clock::time_point> tries;
    int polls = 0, grabs = 0, closes = 0;
    bool changedSinceGrab = false;
    const int events = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // readable while announced
    ~Script() { ::close(events); }

    template <typename Condition>
    bool waitFor(Condition condition) {
      std::unique_lock lock(mutex);
      return changed.wait_for(lock, test::kPatience, condition);
    }
    int pollCount() {
      std::lock_guard lock(mutex);
      return polls;
    }
    bool waitForPolls(int count) {
      std::unique_lock lock(mutex);
      const int target = polls + count;
      return changed.wait_for(lock, test::kPatience, [&] { return polls >= target; });
    }
    void change(bool announce = false) {
      std::lock_guard lock(mutex);
      changedSinceGrab = true;
      if (announce) eventfd_write(events, 1);
    }
  };

  explicit ScriptedSource(std::shared_ptr<Script> script) : s_(std::move(script)) {}

  bool open(uint32_t, int, int) override {
    std::lock_guard lock(s_->mutex);
    s_->tries.push_back(Clock::now());
    s_->changed.notify_all();
    return s_->opensOnTry > 0 && static_cast<int>(s_->tries.size()) >= s_->opensOnTry;
  }
  bool poll() override {
    std::lock_guard lock(s_->mutex);
    eventfd_t count;
    eventfd_read(s_->events, &count);
    ++s_->polls;
    s_->changed.notify_all();
    return s_->changing || s_->changedSinceGrab;
  }
  bool grab(ScreenPicture& picture) override {
    std::lock_guard lock(s_->mutex);
    if (s_->grabFails) return false;
    const uint32_t number = ++s_->grabs;
    std::memcpy(picture.plane(0).data, &number, sizeof number);
    const PictureRect row{0, static_cast<int>(number), picture.width(), 1};
    picture.setDamage({&row, 1});
    s_->changedSinceGrab = false;
    s_->changed.notify_all();
    return true;
  }
  bool broken() const override {
    std::lock_guard lock(s_->mutex);
    return s_->broken;
  }
  int eventDescriptor() const override { return s_->announces ? s_->events : -1; }
  void close() override {
    std::lock_guard lock(s_->mutex);
    ++s_->closes;
  }

 private:
  std::shared_ptr<Script> s_;
};

class RemoteCaptureTest : public ::testing::Test {
 protected:
  void create(int fps = 100, RemoteCapture::Options options = {10, 10ms}) {
    auto encoder = std::make_unique<RecordingEncoder>(record);
    encoderHook = encoder.get();
    capture =
        std::make_unique<RemoteCapture>(RemoteConfiguration{320, 240, fps}, std::move(encoder),
                                        std::make_unique<ScriptedSource>(script), main, options);
    capture->onFailure = [this](std::string text) {
      std::lock_guard lock(record->mutex);
      failures.push_back(std::move(text));
      record->changed.notify_all();
    };
  }
  std::string startAndWait() {
    std::optional<std::string> result;
    capture->start(7, [&](std::string error) { result = std::move(error); });
    EXPECT_TRUE(main.runUntil([&] { return result.has_value(); }, test::kPatience));
    return result.value_or("(no completion)");
  }
  void stopAndWait() {
    bool stopped = false;
    capture->stop([&] { stopped = true; });
    EXPECT_TRUE(main.runUntil([&] { return stopped; }, test::kPatience));
  }
  // Runs `f` with the record locked.
  template <typename F>
  auto locked(F f) {
    std::lock_guard lock(record->mutex);
    return f();
  }

  AsioMainQueue main;
  std::shared_ptr<ScriptedSource::Script> script = std::make_shared<ScriptedSource::Script>();
  std::shared_ptr<RecordingEncoder::Record> record = std::make_shared<RecordingEncoder::Record>();
  RecordingEncoder* encoderHook = nullptr;  // owned by the capture
  std::vector<std::string> failures;        // guarded by record->mutex
  std::unique_ptr<RemoteCapture> capture;
};

TEST_F(RemoteCaptureTest, TheDisplayIsLookedForAtIntervalsAndGivenUpAfterTheLastTry) {
  script->opensOnTry = 3;
  create(100, {10, 20ms});
  EXPECT_EQ(startAndWait(), "");
  {
    std::lock_guard lock(script->mutex);
    ASSERT_EQ(script->tries.size(), 3u);
    EXPECT_GE(script->tries[2] - script->tries[1], 20ms);
  }
  script = std::make_shared<ScriptedSource::Script>();
  script->opensOnTry = 0;
  create(100, {10, 10ms});
  const Clock::time_point started = Clock::now();
  EXPECT_EQ(startAndWait(), kUnavailable);
  EXPECT_GE(Clock::now() - started, 100ms);  // the last wait is sat out too
  std::lock_guard lock(script->mutex);
  EXPECT_EQ(script->tries.size(), 10u);
  EXPECT_EQ(script->polls, 0);
}

// The source reports no change at first: the first picture is taken regardless.
TEST_F(RemoteCaptureTest, TakesTheFirstPictureThenOnePerChangeAndNoneWhileStill) {
  create();
  ASSERT_EQ(startAndWait(), "");
  for (int change = 1; change <= 3; ++change) {
    ASSERT_TRUE(record->waitFor([&] { return record->taken == change; }));
    ASSERT_TRUE(script->waitForPolls(10));
    script->change();
  }
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 4; }));
  ASSERT_TRUE(script->waitForPolls(10));
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(record->offered, 4);
  EXPECT_EQ(record->tags, (std::vector<uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(record->damage[1], (std::vector<PictureRect>{{0, 2, 320, 1}}));
}

// However the changes come (every tick, or a flood of display events), pictures keep to the
// frame rate on absolute deadlines: picture k never comes before k - 1 periods after the first.
class RemoteCapturePacingTest : public RemoteCaptureTest,
                                public ::testing::WithParamInterface<bool> {};

TEST_P(RemoteCapturePacingTest, AChangingScreenIsTakenNoFasterThanTheFrameRate) {
  const bool flood = GetParam();
  const int64_t period = 1'000'000 / 50;
  script->changing = !flood;
  script->announces = flood;
  create(50);
  ASSERT_EQ(startAndWait(), "");
  std::atomic<bool> flooding{flood};
  std::thread announcer([&] {
    while (flooding) {
      script->change(true);
      std::this_thread::yield();
    }
  });
  const bool enough = record->waitFor([&] { return record->taken >= 15; });
  flooding = false;
  announcer.join();
  ASSERT_TRUE(enough);
  std::lock_guard lock(record->mutex);
  for (size_t k = 1; k < record->times.size(); ++k) {
    EXPECT_GE(record->times[k] - record->times[0], static_cast<int64_t>(k - 1) * period) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(TicksOrEvents, RemoteCapturePacingTest, ::testing::Bool());

// Drawing the display reports is taken when it comes, not at the next tick: announced right
// after a tick, it would otherwise wait a whole period.
TEST_F(RemoteCaptureTest, AnAnnouncedChangeIsTakenWithoutWaitingForTheNextTick) {
  script->announces = true;
  create(2);
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(script->waitFor([&] { return script->polls >= 2; }));  // the second tick
  const int64_t announced =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
          .count();
  script->change(true);
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 2; }));
  EXPECT_LT(locked([&] { return record->times[1]; }) - announced, 250'000);
}

// A change the encoder refused is not forgotten once the screen is still: it goes out, with the
// damage of every refused grab, in the first picture the encoder takes.
TEST_F(RemoteCaptureTest, AChangeRefusedByABusyEncoderIsSentOnceItTakesPicturesAgain) {
  create();
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 1; }));
  locked([&] { record->accepting = false; });
  script->change();
  ASSERT_TRUE(record->waitFor([&] { return record->offered >= 3; }));
  {
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->taken, 1);
    record->accepting = true;
  }
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 2; }));
  ASSERT_TRUE(script->waitForPolls(10));
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(record->taken, 2);
  const uint32_t grab = record->tags[1];
  EXPECT_GT(grab, 2u);  // grabbed afresh, after the refused ones
  std::set<int> rows;
  for (const PictureRect& rectangle : record->damage[1]) rows.insert(rectangle.y);
  for (int refused = 2; refused <= static_cast<int>(grab); ++refused)
    EXPECT_TRUE(rows.contains(refused));
}

TEST_F(RemoteCaptureTest, AtMostThreePicturesAreInFlightInBuffersNotWrittenWhileHeld) {
  script->changing = true;
  record->holding = true;
  create();
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 3; }));
  ASSERT_TRUE(script->waitForPolls(10));
  const uint8_t* released = nullptr;
  {
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->taken, 3);
    std::set<const uint8_t*> buffers;
    for (const ScreenPicture& held : record->held) buffers.insert(held.plane(0).data);
    EXPECT_EQ(buffers.size(), 3u);
    released = record->held.front().plane(0).data;
    record->held.erase(record->held.begin());
  }
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 4; }));
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(record->held.back().plane(0).data, released);
  for (int index : {0, 1}) {
    uint32_t tag = 0;
    std::memcpy(&tag, record->held[index].plane(0).data, sizeof tag);
    EXPECT_EQ(tag, static_cast<uint32_t>(index + 2));
  }
}

TEST_F(RemoteCaptureTest, StopClosesTheSourceAndStopsTheEncoderOnTheCaptureQueueOnce) {
  script->changing = true;
  create();
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken >= 2; }));
  stopAndWait();
  const int polls = script->pollCount();
  stopAndWait();  // and once more through the queue: nothing polls or grabs since
  EXPECT_EQ(startAndWait(), "Screen capture was already started.");
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(record->stops, 1);
  EXPECT_EQ(record->stopThread, "veltra.capture");
  EXPECT_EQ(record->offered, record->taken);
  std::lock_guard sourceLock(script->mutex);
  EXPECT_EQ(script->closes, 1);
  EXPECT_EQ(script->polls, polls);
}

TEST_F(RemoteCaptureTest, StopOrDestructionDuringTheLookupEndsItWithoutCapturing) {
  script->opensOnTry = 2;  // found on the second try, which never comes
  create(100, {10, 100ms});
  std::vector<std::string> order;
  capture->start(7, [&](std::string error) { order.push_back("start: " + error); });
  ASSERT_TRUE(script->waitFor([&] { return script->tries.size() == 1; }));
  capture->stop([&] { order.push_back("stop"); });
  ASSERT_TRUE(main.runUntil([&] { return order.size() == 2; }, test::kPatience));
  EXPECT_EQ(order, (std::vector<std::string>{std::string("start: ") + kStopped, "stop"}));

  script = std::make_shared<ScriptedSource::Script>();
  script->opensOnTry = 0;
  create(100, {10, 50ms});
  bool completed = false;
  capture->start(7, [&](std::string) { completed = true; });
  ASSERT_TRUE(script->waitFor([&] { return !script->tries.empty(); }));
  capture.reset();
  main.runUntil([] { return false; }, 100ms);  // a completion posted by mistake would run here
  EXPECT_FALSE(completed);
  EXPECT_EQ(locked([&] { return record->stops; }), 2);  // each capture stopped its encoder
  std::lock_guard lock(script->mutex);
  EXPECT_EQ(script->tries.size(), 1u);
}

// A broken display or a refused grab is the connection lost, reported once; encoder errors
// come through the capture's onFailure too.
class RemoteCaptureFailureTest : public RemoteCaptureTest,
                                 public ::testing::WithParamInterface<bool> {};

TEST_P(RemoteCaptureFailureTest, ALostDisplayIsReportedOnceAndEndsTheTicks) {
  create();
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 1; }));
  {
    std::lock_guard lock(script->mutex);
    (GetParam() ? script->broken : script->grabFails) = true;
    script->changedSinceGrab = true;
  }
  ASSERT_TRUE(record->waitFor([&] { return !failures.empty(); }));
  const int polls = script->pollCount();
  main.runUntil([] { return false; }, 50ms);  // five periods in which a tick must not come
  encoderHook->fail("Encoding failed: -22");
  EXPECT_EQ(locked([&] { return failures; }),
            (std::vector<std::string>{kLost, "Encoding failed: -22"}));
  EXPECT_EQ(script->pollCount(), polls);
  stopAndWait();
}

INSTANTIATE_TEST_SUITE_P(BrokenOrGrabFails, RemoteCaptureFailureTest, ::testing::Bool());

}  // namespace
}  // namespace veltra
