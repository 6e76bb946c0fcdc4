#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

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
using Clock = std::chrono::steady_clock;

const char kUnavailable[] = "Virtual display is not available to screen capture.";
const char kLost[] = "Virtual display connection lost.";
const char kStopped[] = "Screen capture was stopped.";

// The capture's presentation times: microseconds of the steady clock.
int64_t microsecondsNow() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
      .count();
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A display the test scripts: when it can be opened, when its screen changes, when it breaks.
// Each grab writes its number into the first luma bytes, so a picture tells which grab it is.
class ScriptedSource final : public ScreenSource {
 public:
  struct Script {
    std::mutex mutex;
    std::condition_variable changed;
    // Steering.
    int opensOnTry = 1;  // 0: never
    bool changing = false;
    bool announces = false;  // offers an event descriptor, as a display connection does
    bool broken = false;
    bool grabFails = false;
    // What happened.
    std::vector<Clock::time_point> tries;
    int polls = 0;
    int grabs = 0;
    int closes = 0;
    bool changedSinceGrab = false;
    std::vector<const uint8_t*> buffers;  // the luma plane of each grab

    template <typename Condition>
    bool waitFor(Condition condition) {
      std::unique_lock lock(mutex);
      return changed.wait_for(lock, kCaptureBound, condition);
    }
    void change() {
      std::lock_guard lock(mutex);
      changedSinceGrab = true;
    }
    // A change the display reports on its own, as drawing does.
    void announce() {
      change();
      const uint64_t one = 1;
      [[maybe_unused]] const auto written = ::write(events.get(), &one, sizeof one);
    }
    // Readable while an announcement is unread; read by poll().
    UniqueFd events{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    // Waits until the capture has looked at the screen `count` more times.
    bool waitForPolls(int count) {
      std::unique_lock lock(mutex);
      const int target = polls + count;
      return changed.wait_for(lock, kCaptureBound, [&] { return polls >= target; });
    }
  };

  explicit ScriptedSource(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  bool open(uint32_t, int, int) override {
    std::lock_guard lock(script_->mutex);
    script_->tries.push_back(Clock::now());
    script_->changed.notify_all();
    return script_->opensOnTry > 0 &&
           static_cast<int>(script_->tries.size()) >= script_->opensOnTry;
  }
  bool poll() override {
    std::lock_guard lock(script_->mutex);
    uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(script_->events.get(), &count, sizeof count);
    ++script_->polls;
    script_->changed.notify_all();
    return script_->changing || script_->changedSinceGrab;
  }
  bool grab(AVFrame* nv12) override {
    std::lock_guard lock(script_->mutex);
    if (script_->grabFails) return false;
    const uint32_t number = ++script_->grabs;
    std::memcpy(nv12->data[0], &number, sizeof number);
    script_->buffers.push_back(nv12->data[0]);
    script_->changedSinceGrab = false;
    script_->changed.notify_all();
    return true;
  }
  bool broken() const override {
    std::lock_guard lock(script_->mutex);
    return script_->broken;
  }
  int eventDescriptor() const override {
    std::lock_guard lock(script_->mutex);
    return script_->announces ? script_->events.get() : -1;
  }
  void close() override {
    std::lock_guard lock(script_->mutex);
    ++script_->closes;
  }

 private:
  std::shared_ptr<Script> script_;
};

class RemoteCaptureTest : public ::testing::Test {
 protected:
  void create(RemoteConfiguration configuration = {320, 240, 100},
              RemoteCapture::Options options = {.lookupTries = 10, .lookupInterval = 10ms}) {
    auto encoder = std::make_unique<RecordingEncoder>(record);
    encoderHook = encoder.get();
    capture = std::make_unique<RemoteCapture>(
        configuration, std::move(encoder), std::make_unique<ScriptedSource>(script), main, options);
    capture->onFailure = [this](std::string text) {
      std::lock_guard lock(failuresMutex);
      failures.push_back(std::move(text));
    };
  }

  // Starts and runs the main queue until the completion came; returns its error text.
  std::string startAndWait(uint32_t displayID = 7) {
    std::optional<std::string> result;
    capture->start(displayID, [&](std::string error) { result = std::move(error); });
    EXPECT_TRUE(main.runUntil([&] { return result.has_value(); }, kCaptureBound));
    return result.value_or("(no completion)");
  }

  void stopAndWait() {
    bool stopped = false;
    capture->stop([&] { stopped = true; });
    EXPECT_TRUE(main.runUntil([&] { return stopped; }, kCaptureBound));
  }

  std::vector<std::string> failuresSoFar() {
    std::lock_guard lock(failuresMutex);
    return failures;
  }

  AsioMainQueue main;
  std::shared_ptr<ScriptedSource::Script> script = std::make_shared<ScriptedSource::Script>();
  std::shared_ptr<RecordingEncoder::Record> record = std::make_shared<RecordingEncoder::Record>();
  RecordingEncoder* encoderHook = nullptr;  // owned by the capture
  std::mutex failuresMutex;
  std::vector<std::string> failures;
  std::unique_ptr<RemoteCapture> capture;
};

// --- Finding the display -------------------------------------------------------------------------

TEST_F(RemoteCaptureTest, LookupSucceedsOnTheThirdTryTwoIntervalsLater) {
  script->opensOnTry = 3;
  create({320, 240, 100}, {.lookupTries = 10, .lookupInterval = 20ms});
  EXPECT_EQ(startAndWait(), "");
  std::lock_guard lock(script->mutex);
  ASSERT_EQ(script->tries.size(), 3u);
  EXPECT_GE(script->tries[1] - script->tries[0], 20ms);
  EXPECT_GE(script->tries[2] - script->tries[1], 20ms);
}

TEST_F(RemoteCaptureTest, LookupGivesUpAfterTenTriesAndTheirWaits) {
  script->opensOnTry = 0;
  create({320, 240, 100}, {.lookupTries = 10, .lookupInterval = 10ms});
  const Clock::time_point started = Clock::now();
  EXPECT_EQ(startAndWait(), kUnavailable);
  const Clock::duration took = Clock::now() - started;
  main.runFor(50ms);  // no further try comes late
  std::lock_guard lock(script->mutex);
  EXPECT_EQ(script->tries.size(), 10u);
  EXPECT_GE(took, 100ms);
  EXPECT_EQ(script->polls, 0);
}

// --- Pacing and changes --------------------------------------------------------------------------

// The source reports no change at first: the first picture is taken regardless.
TEST_F(RemoteCaptureTest, TakesTheFirstPictureThenOnePerChangeAndNoneWhileStill) {
  create();
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 1; }));
  ASSERT_TRUE(script->waitForPolls(20));
  for (int change = 1; change <= 3; ++change) {
    script->change();
    ASSERT_TRUE(record->waitFor([&] { return record->taken == 1 + change; }));
  }
  ASSERT_TRUE(script->waitForPolls(20));
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(record->offered, 4);
  EXPECT_EQ(record->tags, (std::vector<uint32_t>{1, 2, 3, 4}));
}

TEST_F(RemoteCaptureTest, AChangingScreenIsTakenNoFasterThanTheFrameRate) {
  const int fps = 50;
  const auto period = std::chrono::microseconds(1'000'000 / fps);
  script->changing = true;
  create({320, 240, fps});
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken >= 15; }));
  std::lock_guard lock(record->mutex);
  // Deadlines are absolute: picture k never comes before k periods after the first (less the
  // little the first tick took before its timestamp).
  for (size_t k = 1; k < record->times.size(); ++k) {
    EXPECT_GE(record->times[k] - record->times[0], static_cast<int64_t>(k - 1) * period.count())
        << "picture " << k;
  }
}

// Drawing the display reports is taken when it happens, not at the next tick: at one picture a
// second a tick-only capture would make the announced change wait most of a second.
TEST_F(RemoteCaptureTest, AnAnnouncedChangeIsTakenWithoutWaitingForTheNextTick) {
  script->announces = true;
  create({320, 240, 1});
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 1; }));
  // Past the first interval, so the frame rate allows the next picture at once.
  ASSERT_TRUE(script->waitForPolls(1));
  std::this_thread::sleep_for(100ms);
  const int64_t announced = microsecondsNow();
  script->announce();
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 2; }));
  std::lock_guard lock(record->mutex);
  EXPECT_LT(record->times[1] - announced, 500'000);
  EXPECT_EQ(record->tags, (std::vector<uint32_t>{1, 2}));
}

// However fast the display reports drawing, pictures keep to the frame rate.
TEST_F(RemoteCaptureTest, AFloodOfAnnouncementsIsTakenNoFasterThanTheFrameRate) {
  const int fps = 50;
  const auto period = std::chrono::microseconds(1'000'000 / fps);
  script->announces = true;
  create({320, 240, fps});
  ASSERT_EQ(startAndWait(), "");
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    while (flooding) {
      script->announce();
      std::this_thread::sleep_for(200us);
    }
  });
  const bool enough = record->waitFor([&] { return record->taken >= 15; });
  flooding = false;
  flood.join();
  ASSERT_TRUE(enough);
  std::lock_guard lock(record->mutex);
  for (size_t k = 1; k < record->times.size(); ++k) {
    EXPECT_GE(record->times[k] - record->times[0], static_cast<int64_t>(k - 1) * period.count())
        << "picture " << k;
  }
}

// A change the encoder refused must not be forgotten once the screen is still: it goes out with
// the first picture the encoder takes.
TEST_F(RemoteCaptureTest, AChangeRefusedByABusyEncoderIsSentOnceItTakesPicturesAgain) {
  create();
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 1; }));
  {
    std::lock_guard lock(record->mutex);
    record->accepting = false;
  }
  script->change();
  ASSERT_TRUE(record->waitFor([&] { return record->offered >= 3; }));
  // The screen is still again; the capture keeps offering until the encoder takes one.
  {
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->taken, 1);
    record->accepting = true;
  }
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 2; }));
  ASSERT_TRUE(script->waitForPolls(10));
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(record->taken, 2);
  EXPECT_GT(record->tags[1], 2u);  // grabbed afresh, after the refused ones
}

TEST_F(RemoteCaptureTest, AtMostThreePicturesAreInFlight) {
  script->changing = true;
  create();
  {
    std::lock_guard lock(record->mutex);
    record->holding = true;
  }
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 3; }));
  ASSERT_TRUE(script->waitForPolls(10));
  const uint8_t* released = nullptr;
  {
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->taken, 3);
    // Three distinct buffers, none written again while held.
    std::set<const uint8_t*> buffers;
    for (size_t index = 0; index < record->held.size(); ++index) {
      const AVFrame* frame = record->held[index].frame();
      buffers.insert(frame->data[0]);
      uint32_t tag = 0;
      std::memcpy(&tag, frame->data[0], sizeof tag);
      EXPECT_EQ(tag, index + 1);
    }
    EXPECT_EQ(buffers.size(), 3u);
    released = record->held.front().frame()->data[0];
    record->held.erase(record->held.begin());
  }
  {
    std::lock_guard lock(script->mutex);
    EXPECT_EQ(script->grabs, 3);  // no grab without a free buffer
  }
  // The released buffer carries the next picture; the two still held are untouched.
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 4; }));
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(record->held.back().frame()->data[0], released);
  uint32_t second = 0, third = 0;
  std::memcpy(&second, record->held[0].frame()->data[0], sizeof second);
  std::memcpy(&third, record->held[1].frame()->data[0], sizeof third);
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(third, 3u);
}

// --- Stopping ------------------------------------------------------------------------------------

TEST_F(RemoteCaptureTest, StopEndsCapturingAndStopsTheEncoderOnTheCaptureQueue) {
  script->changing = true;
  create();
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken >= 2; }));
  stopAndWait();
  int taken = 0;
  {
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->stops, 1);
    EXPECT_EQ(record->stopThread, "veltra.capture");
    taken = record->taken;
  }
  {
    std::lock_guard lock(script->mutex);
    EXPECT_EQ(script->closes, 1);
  }
  main.runFor(50ms);
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(record->offered, taken);
}

TEST_F(RemoteCaptureTest, StopTwiceAfterAFailedStartAndAnotherStartEachComplete) {
  script->opensOnTry = 0;
  create({320, 240, 100}, {.lookupTries = 2, .lookupInterval = 5ms});
  EXPECT_EQ(startAndWait(), kUnavailable);
  stopAndWait();
  stopAndWait();
  EXPECT_EQ(startAndWait(), "Screen capture was already started.");
  std::lock_guard lock(record->mutex);
  EXPECT_EQ(record->stops, 1);
  EXPECT_EQ(record->offered, 0);
}

TEST_F(RemoteCaptureTest, StopDuringTheLookupFailsTheStartAndNeverCaptures) {
  // The display would be found on the second try, which stop() prevents.
  script->opensOnTry = 2;
  create({320, 240, 100}, {.lookupTries = 10, .lookupInterval = 100ms});
  std::vector<std::string> order;
  capture->start(7, [&](std::string error) { order.push_back("start: " + error); });
  ASSERT_TRUE(script->waitFor([&] { return script->tries.size() == 1; }));
  capture->stop([&] { order.push_back("stop"); });
  ASSERT_TRUE(main.runUntil([&] { return order.size() == 2; }, kCaptureBound));
  EXPECT_EQ(order, (std::vector<std::string>{std::string("start: ") + kStopped, "stop"}));
  main.runFor(200ms);
  std::lock_guard lock(script->mutex);
  EXPECT_EQ(script->tries.size(), 1u);
  EXPECT_EQ(script->polls, 0);
}

TEST_F(RemoteCaptureTest, DestroyingStopsACaptureAndDropsALookupsCompletion) {
  script->changing = true;
  create();
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken >= 2; }));
  capture.reset();
  {
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->stops, 1);
    EXPECT_EQ(record->stopThread, "veltra.capture");
  }

  script = std::make_shared<ScriptedSource::Script>();
  script->opensOnTry = 0;
  create({320, 240, 100}, {.lookupTries = 10, .lookupInterval = 50ms});
  bool completed = false;
  capture->start(7, [&](std::string) { completed = true; });
  ASSERT_TRUE(script->waitFor([&] { return !script->tries.empty(); }));
  capture.reset();
  main.runFor(100ms);
  EXPECT_FALSE(completed);
  std::lock_guard lock(script->mutex);
  EXPECT_EQ(script->tries.size(), 1u);
}

// --- Failures ------------------------------------------------------------------------------------

TEST_F(RemoteCaptureTest, ALostDisplayIsReportedOnceAndEndsTheTicks) {
  create();
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 1; }));
  {
    std::lock_guard lock(script->mutex);
    script->broken = true;
  }
  ASSERT_TRUE(main.runUntil([&] { return !failuresSoFar().empty(); }, kCaptureBound));
  int polls = 0;
  {
    std::lock_guard lock(script->mutex);
    polls = script->polls;
  }
  main.runFor(100ms);
  EXPECT_EQ(failuresSoFar(), (std::vector<std::string>{kLost}));
  {
    std::lock_guard lock(script->mutex);
    EXPECT_EQ(script->polls, polls);
  }
  stopAndWait();
}

TEST_F(RemoteCaptureTest, AFailedGrabIsALostDisplayAndEncoderErrorsAreForwarded) {
  create();
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(record->waitFor([&] { return record->taken == 1; }));
  {
    std::lock_guard lock(script->mutex);
    script->grabFails = true;
  }
  script->change();
  ASSERT_TRUE(main.runUntil([&] { return !failuresSoFar().empty(); }, kCaptureBound));
  encoderHook->fail("Encoding failed: -22");
  EXPECT_EQ(failuresSoFar(), (std::vector<std::string>{kLost, "Encoding failed: -22"}));
  stopAndWait();
}

}  // namespace
}  // namespace veltra
