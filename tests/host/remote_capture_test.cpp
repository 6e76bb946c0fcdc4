#include <gtest/gtest.h>
#include <pthread.h>
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
#include <utility>
#include <vector>

#include "codec/PictureEncoder.h"
#include "harness/harness.h"
#include "host/RemoteCapture.h"
#include "support/AsioMainQueue.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::Clock;

// The display's and the encoder's script and what both saw; shared, as it outlives the capture.
struct Scene {
  std::mutex mutex;
  int opensOnTry = 1;  // 0: never
  bool changing = false, announces = false, broken = false, grabFails = false, accepting = true;
  bool ready = true;  // what the encoder says before a grab; it may still refuse
  bool busy = false;  // when not ready: only finishing its last picture
  bool changedSinceGrab = false;
  std::vector<Clock::time_point> tries;
  int polls = 0, grabs = 0, closes = 0, offered = 0, taken = 0, stops = 0;
  std::string stopThread;
  std::vector<int64_t> times;                    // presentation times of the pictures taken
  std::vector<uint32_t> tags;                    // first four luma bytes of each picture taken
  std::vector<std::vector<PictureRect>> damage;  // of each picture taken
  std::vector<std::string> failures;             // reported by the capture
  bool pointerDrawn = true;                      // as the capture set the source up
  std::optional<CursorImage> cursor;             // the source's next takeCursor()
  std::vector<std::pair<CursorImage, Clock::time_point>> cursors;  // what reached the sink
  const int events = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);     // readable while announced
  ~Scene() { ::close(events); }

  template <typename F>
  auto locked(F f) {
    std::lock_guard lock(mutex);
    return f();
  }
  template <typename Condition>
  bool waitFor(Condition condition) {
    return test::waitUntil([&] { return locked(condition); });
  }
  bool waitForPolls(int count) {
    const int target = locked([&] { return polls; }) + count;
    return waitFor([&] { return polls >= target; });
  }
  void change(bool announce = false) {
    std::lock_guard lock(mutex);
    changedSinceGrab = true;
    if (announce) eventfd_write(events, 1);
  }
};

// Grab number n writes n into the first luma bytes and reports row n as its damage.
class ScriptedSource final : public ScreenSource {
 public:
  explicit ScriptedSource(std::shared_ptr<Scene> scene) : s_(std::move(scene)) {}

  void setPointerDrawn(bool drawn) override {
    std::lock_guard lock(s_->mutex);
    s_->pointerDrawn = drawn;
  }
  std::optional<CursorImage> takeCursor() override {
    std::lock_guard lock(s_->mutex);
    return std::exchange(s_->cursor, std::nullopt);
  }
  bool open(uint32_t, int, int) override {
    std::lock_guard lock(s_->mutex);
    s_->tries.push_back(Clock::now());
    return s_->opensOnTry > 0 && static_cast<int>(s_->tries.size()) >= s_->opensOnTry;
  }
  bool poll() override {
    std::lock_guard lock(s_->mutex);
    eventfd_t count;
    eventfd_read(s_->events, &count);
    ++s_->polls;
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
  std::shared_ptr<Scene> s_;
};

class RecordingEncoder final : public PictureEncoder {
 public:
  explicit RecordingEncoder(std::shared_ptr<Scene> scene) : s_(std::move(scene)) {}

  bool encode(ScreenPicture picture, int64_t presentationTime) override {
    std::lock_guard lock(s_->mutex);
    ++s_->offered;
    if (!s_->accepting || s_->stops > 0) return false;
    ++s_->taken;
    s_->times.push_back(presentationTime);
    uint32_t tag = 0;
    std::memcpy(&tag, picture.plane(0).data, sizeof tag);
    s_->tags.push_back(tag);
    s_->damage.push_back(picture.damage());
    return true;
  }
  void stop() override {
    std::lock_guard lock(s_->mutex);
    ++s_->stops;
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    s_->stopThread = name;
  }
  bool ready() const override {
    return s_->locked([&] { return s_->ready; });
  }
  bool busy() const override {
    return s_->locked([&] { return s_->busy; });
  }
  void acknowledgeFrame() override {}

 private:
  std::shared_ptr<Scene> s_;
};

class RemoteCaptureTest : public ::testing::Test {
 protected:
  void create(int fps = 100, RemoteCapture::Options options = {10, 10ms}) {
    auto encoder = std::make_unique<RecordingEncoder>(scene);
    encoderHook = encoder.get();
    capture =
        std::make_unique<RemoteCapture>(RemoteConfiguration{320, 240, fps}, std::move(encoder),
                                        std::make_unique<ScriptedSource>(scene), main, options);
    capture->onFailure = [scene = scene](std::string text) {
      std::lock_guard lock(scene->mutex);
      scene->failures.push_back(std::move(text));
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
  AsioMainQueue main;
  std::shared_ptr<Scene> scene = std::make_shared<Scene>();
  RecordingEncoder* encoderHook = nullptr;  // owned by the capture
  std::unique_ptr<RemoteCapture> capture;
};

TEST_F(RemoteCaptureTest, TheDisplayIsLookedForAtIntervalsUntilTheLastTryOrAStop) {
  scene->opensOnTry = 3;
  create(100, {10, 20ms});
  EXPECT_EQ(startAndWait(), "");
  const auto tries = scene->locked([&] { return scene->tries; });
  ASSERT_EQ(tries.size(), 3u);
  EXPECT_GE(tries[2] - tries[1], 20ms);
  scene = std::make_shared<Scene>();
  scene->opensOnTry = 0;
  create(100, {10, 10ms});
  const Clock::time_point started = Clock::now();
  EXPECT_EQ(startAndWait(), "Virtual display is not available to screen capture.");
  EXPECT_GE(Clock::now() - started, 100ms);  // the last wait is sat out too
  EXPECT_EQ(scene->locked([&] { return scene->tries.size(); }), 10u);
  EXPECT_EQ(scene->locked([&] { return scene->polls; }), 0);

  // Stopped or destroyed during the lookup, the capture ends it without capturing.
  scene = std::make_shared<Scene>();
  scene->opensOnTry = 2;  // found on the second try, which never comes
  create(100, {10, 100ms});
  std::vector<std::string> order;
  capture->start(7, [&](std::string error) { order.push_back("start: " + error); });
  ASSERT_TRUE(scene->waitFor([&] { return scene->tries.size() == 1; }));
  capture->stop([&] { order.push_back("stop"); });
  ASSERT_TRUE(main.runUntil([&] { return order.size() == 2; }, test::kPatience));
  EXPECT_EQ(order, (std::vector<std::string>{"start: Screen capture was stopped.", "stop"}));

  scene->opensOnTry = 0;
  create(100, {10, 50ms});
  bool completed = false;
  capture->start(7, [&](std::string) { completed = true; });
  ASSERT_TRUE(scene->waitFor([&] { return scene->tries.size() == 2; }));
  capture.reset();
  main.runUntil([] { return false; }, 100ms);  // a completion posted by mistake would run here
  EXPECT_FALSE(completed);
  EXPECT_EQ(scene->locked([&] { return scene->stops; }), 2);  // each capture stopped its encoder
  std::lock_guard lock(scene->mutex);
  EXPECT_EQ(scene->tries.size(), 2u);
}

// The source reports no change at first: the first picture is taken regardless. A change the
// encoder refused is not forgotten once the screen is still: it goes out, with the damage of every
// refused grab, in the first picture the encoder takes.
TEST_F(RemoteCaptureTest, TakesTheFirstPictureThenOnePerChangeEvenIfRefusedAndNoneWhileStill) {
  create();
  ASSERT_EQ(startAndWait(), "");
  for (int change = 1; change <= 3; ++change) {
    ASSERT_TRUE(scene->waitFor([&] { return scene->taken == change; }));
    ASSERT_TRUE(scene->waitForPolls(10));
    scene->change();
  }
  ASSERT_TRUE(scene->waitFor([&] { return scene->taken == 4; }));
  ASSERT_TRUE(scene->waitForPolls(10));
  {
    std::lock_guard lock(scene->mutex);
    EXPECT_EQ(scene->offered, 4);
    EXPECT_EQ(scene->tags, (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(scene->damage[1], (std::vector<PictureRect>{{0, 2, 320, 1}}));
    scene->accepting = false;
  }
  scene->change();
  ASSERT_TRUE(scene->waitFor([&] { return scene->offered >= 6; }));
  {
    std::lock_guard lock(scene->mutex);
    EXPECT_EQ(scene->taken, 4);
    scene->accepting = true;
  }
  ASSERT_TRUE(scene->waitFor([&] { return scene->taken == 5; }));
  ASSERT_TRUE(scene->waitForPolls(10));
  std::lock_guard lock(scene->mutex);
  EXPECT_EQ(scene->taken, 5);
  const uint32_t grab = scene->tags[4];
  EXPECT_GT(grab, 6u);  // grabbed afresh, after the refused ones
  std::set<int> rows;
  for (const PictureRect& rectangle : scene->damage[4]) rows.insert(rectangle.y);
  for (int refused = 5; refused <= static_cast<int>(grab); ++refused)
    EXPECT_TRUE(rows.contains(refused));
}

// Announced right after a tick, a change would otherwise wait a whole period. A stop then closes
// the source and stops the encoder on the capture queue, once.
TEST_F(RemoteCaptureTest, AnAnnouncedChangeIsTakenAtOnceAndStopEndsTheCaptureOnce) {
  scene->announces = true;
  create(2);
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(scene->waitFor([&] { return scene->polls >= 2; }));  // the second tick
  const int64_t announced =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
          .count();
  scene->change(true);
  ASSERT_TRUE(scene->waitFor([&] { return scene->taken == 2; }));
  EXPECT_LT(scene->locked([&] { return scene->times[1]; }) - announced, 250'000);
  scene->locked([&] { return scene->changing = true; });
  stopAndWait();
  const int polls = scene->locked([&] { return scene->polls; });
  stopAndWait();  // and once more through the queue: nothing polls or grabs since
  EXPECT_EQ(startAndWait(), "Screen capture was already started.");
  std::lock_guard lock(scene->mutex);
  EXPECT_EQ(scene->stops, 1);
  EXPECT_EQ(scene->stopThread, "veltra.capture");
  EXPECT_EQ(scene->offered, scene->taken);
  EXPECT_EQ(scene->closes, 1);
  EXPECT_EQ(scene->polls, polls);
}

// Encoder errors come through the capture's onFailure too.
class RemoteCaptureFailureTest : public RemoteCaptureTest,
                                 public ::testing::WithParamInterface<bool> {};

TEST_P(RemoteCaptureFailureTest, ALostDisplayIsReportedOnceAndEndsTheTicks) {
  create();
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(scene->waitFor([&] { return scene->taken == 1; }));
  {
    std::lock_guard lock(scene->mutex);
    (GetParam() ? scene->broken : scene->grabFails) = true;
    scene->changedSinceGrab = true;
  }
  ASSERT_TRUE(scene->waitFor([&] { return !scene->failures.empty(); }));
  const int polls = scene->locked([&] { return scene->polls; });
  main.runUntil([] { return false; }, 50ms);  // five periods in which a tick must not come
  encoderHook->onFailure("Encoding failed: -22");
  EXPECT_EQ(scene->locked([&] { return scene->failures; }),
            (std::vector<std::string>{"Virtual display connection lost.", "Encoding failed: -22"}));
  EXPECT_EQ(scene->locked([&] { return scene->polls; }), polls);
  stopAndWait();
}

INSTANTIATE_TEST_SUITE_P(BrokenOrGrabFails, RemoteCaptureFailureTest, ::testing::Bool());

// An encoder that refuses (a client that stopped acknowledging) must not turn every drawing into
// a grab: the screen is grabbed again once per frame interval. Whatever wakes the capture, taken
// picture k never comes before k - 1 periods after the first.
TEST_F(RemoteCaptureTest, AChangingScreenIsGrabbedAndTakenNoFasterThanTheFrameRate) {
  const auto period = 20ms;
  scene->changing = scene->announces = true;
  scene->accepting = false;
  create(50);
  ASSERT_EQ(startAndWait(), "");
  std::atomic<bool> flooding{true};
  std::thread announcer([&] {
    while (flooding) scene->change(true);
  });
  const Clock::time_point from = Clock::now();
  const int grabs = scene->locked([&] { return scene->grabs; });
  const bool regrabbed = scene->waitFor([&] { return scene->grabs >= grabs + 11; });
  const Clock::duration elapsed = Clock::now() - from;
  scene->locked([&] { return scene->accepting = true; });
  const bool taken = scene->waitFor([&] { return scene->taken >= 15; });
  flooding = false;
  announcer.join();
  ASSERT_TRUE(regrabbed && taken);
  EXPECT_GE(elapsed, 8 * period);  // 11 grabs span ten periods; one is left for a late tick
  {
    std::lock_guard lock(scene->mutex);
    for (size_t k = 1; k < scene->times.size(); ++k)
      EXPECT_GE(scene->times[k] - scene->times[0], int64_t(k - 1) * (period / 1us)) << k;
  }
  // An encoder that says it would refuse costs no grab at all; the change waits for it. (A poll
  // seen after the switch means the queue has finished any grab begun before it.)
  scene->locked([&] { return scene->ready = false; });
  ASSERT_TRUE(scene->waitForPolls(1));
  const int before = scene->locked([&] { return scene->grabs; });
  ASSERT_TRUE(scene->waitForPolls(5));
  EXPECT_EQ(scene->locked([&] { return scene->grabs; }), before);
  scene->locked([&] { return scene->ready = true; });
  EXPECT_TRUE(scene->waitFor([&] { return scene->grabs > before; }));
}

// An encoder that is only finishing its last picture is asked again within moments, so that a
// long encode does not cost the next change a frame interval; one that stays busy past two
// intervals (its send stuck behind a client that stopped reading) is asked once an interval.
TEST_F(RemoteCaptureTest, ABusyEncoderIsAskedAgainSoonOnlyRightAfterItTookAPicture) {
  const auto period = 100ms;
  scene->changing = true;
  create(10);
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(scene->waitFor([&] { return scene->taken >= 1; }));
  const Clock::time_point taken = Clock::now();
  scene->locked([&] { return scene->ready = false, scene->busy = true; });
  const auto fivePolls = [&] {
    const Clock::time_point from = Clock::now();
    EXPECT_TRUE(scene->waitForPolls(5));
    return Clock::now() - from;
  };
  ASSERT_TRUE(scene->waitForPolls(2));  // the next tick found it busy
  EXPECT_LT(fivePolls(), period);
  test::waitUntil([&] { return Clock::now() - taken > 2 * period; });
  EXPECT_GE(fivePolls(), 3 * period);
  const int grabs = scene->locked([&] { return scene->grabs; });
  scene->locked([&] { return scene->ready = true, scene->busy = false; });
  EXPECT_TRUE(scene->waitFor([&] { return scene->grabs > grabs; }));
}

// With the cursor reported, the source leaves the pointer out and each new image reaches the sink,
// the first at the start; one announced on a still screen goes at once and
// costs no grab. Without, the source keeps drawing the pointer.
TEST_F(RemoteCaptureTest, ReportedCursorsReachTheSinkAtTheStartAndAtOnceOnAStillScreen) {
  create();
  scene->cursor = CursorImage{1, 1, 0, 0, {0xff000000}};
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(scene->waitForPolls(3));
  EXPECT_TRUE(scene->locked([&] { return scene->pointerDrawn && scene->cursor.has_value(); }));
  stopAndWait();

  scene = std::make_shared<Scene>();
  scene->announces = true;
  scene->cursor = CursorImage{1, 1, 0, 0, {0xff000000}};
  create(2);
  capture->reportCursor([scene = scene](CursorImage image) {
    std::lock_guard lock(scene->mutex);
    scene->cursors.emplace_back(std::move(image), Clock::now());
  });
  ASSERT_EQ(startAndWait(), "");
  ASSERT_TRUE(scene->waitFor([&] { return scene->polls >= 2 && scene->cursors.size() == 1; }));
  const CursorImage second{2, 1, 1, 0, {0xffffffff, 0x80000000}};
  const Clock::time_point announced = Clock::now();
  scene->locked([&] {
    scene->cursor = second;
    return eventfd_write(scene->events, 1);
  });
  ASSERT_TRUE(scene->waitFor([&] { return scene->cursors.size() == 2; }));
  std::lock_guard lock(scene->mutex);
  EXPECT_FALSE(scene->pointerDrawn);
  EXPECT_EQ(scene->cursors[1].first, second);
  EXPECT_LT(scene->cursors[1].second - announced, 250ms);  // not at the next tick, 500 ms away
  EXPECT_EQ(scene->grabs, 1);
}

}  // namespace
}  // namespace veltra
