#pragma once

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec/PictureEncoder.h"
#include "host/ScreenSource.h"
#include "protocol/CursorImage.h"
#include "protocol/RemoteConfiguration.h"
#include "support/MainQueue.h"
#include "support/SerialQueue.h"

namespace veltra {

class PacketSender;
class PicturePool;

struct RemoteCaptureOptions {
  // How often, and how far apart, the display is looked for before start() gives up: a display
  // that was just created may not accept clients yet.
  int lookupTries = 10;
  std::chrono::milliseconds lookupInterval{200};
};

// Streams one display to an encoder: at most `fps` pictures a second, a picture only when the
// screen or the pointer changed (the first one always). A tick on absolute deadlines polls the
// pointer; news from the display (drawing, a new cursor) is grabbed as soon as it comes, after a
// short settle and no sooner than one frame interval after the last grab, so a change waits for
// the capture only when the screen changes faster than the frame rate. Grabs are paced whether
// the encoder takes them or not: an encoder that refuses (busy, or a client that stopped
// acknowledging) costs one grab per frame interval, not one per drawing. An encoder that is only
// finishing the picture it took last is asked again a millisecond later, so that an encode that
// ran a little long does not cost the change a whole interval. At most three pictures
// in flight (a pool of three NV12 buffers; a tick with none free is skipped). A change stays
// pending until the encoder takes a picture taken after it, so a change followed by a still
// screen is never lost to a busy encoder; the damage of refused pictures goes with that picture.
// With reportCursor() the pointer is left out of the pictures and its moves are no change; a new
// cursor image goes to the sink as soon as the display's news of it is read, grab or not.
//
// THREADING: the constructor, start(), stop() and the destructor on the main thread; encoder() on
// any thread. Everything else runs on the capture queue (thread "veltra.capture"): the display
// lookup, the pacing timer, the source, the pool and encode()/stop() of the encoder. Completions
// run on the main queue. onFailure is called on the capture queue (the display was lost) or the
// encoder's thread (an encoding error), never on main: the owner hops to main itself.
//
// LIFETIME: one capture per session; a stopped capture is not restarted. The destructor stops a
// capture that is still running and waits for that (never for the main thread, so it may run
// there, but not inside onFailure); a start() still looking for its display then never
// completes.
class RemoteCapture final {
 public:
  using Options = RemoteCaptureOptions;
  using StartCompletion = std::function<void(std::string error)>;

  // `encoder` and `source` are used on the capture queue from start() on; the capture forwards
  // the encoder's onFailure to its own. The platform picks both (HostPlatform::makeCapture).
  RemoteCapture(RemoteConfiguration configuration, std::unique_ptr<PictureEncoder> encoder,
                std::unique_ptr<ScreenSource> source, MainQueue& main, Options options = {});
  ~RemoteCapture();

  RemoteCapture(const RemoteCapture&) = delete;
  RemoteCapture& operator=(const RemoteCapture&) = delete;

  // The text a running capture ends with: "Virtual display connection lost." (reported once; no
  // picture is taken after it) or the encoder's error. Set before start(); stop() is still due.
  std::function<void(std::string)> onFailure;

  // Hands the pointer to the client instead of drawing it (the cursor extension): from start()
  // on the pictures carry no pointer, its moves are no change, and `sink` gets the cursor image
  // at the start and whenever it changes, on the capture queue. Main thread, before start().
  void reportCursor(std::function<void(CursorImage)> sink);

  // Where the host acknowledges frames (main thread).
  PictureEncoder& encoder() { return *encoder_; }

  // Looks for display `displayID` (lookupTries tries, lookupInterval apart) and starts capturing
  // it. `completion` gets "" once capturing, or the reason it is not: the display was never found
  // ("Virtual display is not available to screen capture."), stop() came first, or start() was
  // called before. Asynchronous; the completion runs exactly once unless the capture is destroyed
  // first.
  void start(uint32_t displayID, StartCompletion completion);
  // Ends the lookup or the capture, closes the source, then stops the encoder on the capture
  // queue (so that stop cannot overlap a picture being handed over); `completion` runs on main
  // afterwards. A start() still looking for its display completes with an error first. Safe to
  // call more than once and after a failed start.
  void stop(std::function<void()> completion);

 private:
  enum class Phase { idle, lookingUp, capturing, failed, stopped };

  // Capture queue only.
  void tryOpen();
  void waitForNextTry();
  void scheduleTick();
  void armTick();
  void armTimer(std::chrono::steady_clock::time_point at);
  void tick();
  void watchDisplay();
  void displayEvent();
  // Hands a new cursor image to the sink, when there is one (reportCursor()).
  void passCursorOn();
  void fail(std::string text);
  void stopOnQueue();
  void completeStart(std::string error);

  const RemoteConfiguration configuration_;
  const Options options_;
  MainQueue& main_;
  const std::unique_ptr<PictureEncoder> encoder_;
  const std::unique_ptr<ScreenSource> source_;

  // Main thread only.
  bool startCalled_ = false;
  // Set before start(), then read on the capture queue only.
  std::function<void(CursorImage)> cursorSink_;

  // Capture queue only.
  Phase phase_ = Phase::idle;
  uint32_t displayID_ = 0;
  int tries_ = 0;
  StartCompletion startCompletion_;
  std::shared_ptr<PicturePool> pool_;
  // The damage of grabs the encoder refused: it belongs to the next picture it takes.
  std::vector<PictureRect> refusedDamage_;
  std::chrono::steady_clock::time_point nextTick_;
  // When a tick last wanted a picture (grabbed, or found no buffer free): the next may not come
  // sooner than a period later, so that a refusing encoder does not turn every drawing into a
  // grab.
  std::chrono::steady_clock::time_point lastAttempt_;
  std::chrono::steady_clock::time_point lastTaken_;  // the encoder took a picture
  // Since when a change waits for the encoder to finish its last picture.
  std::optional<std::chrono::steady_clock::time_point> wantedSince_;
  std::chrono::steady_clock::duration period_{};
  // The screen may differ from the last picture the encoder took.
  bool dirty_ = true;
  // Lookup waits and pacing. Destroyed on the capture queue by the destructor: it must go before
  // the queue's io_context does.
  std::optional<asio::steady_timer> timer_;
  // Readiness of the source's event descriptor, which the source owns (released, never closed).
  std::optional<asio::posix::stream_descriptor> displayEvents_;
  bool watching_ = false;

  // Last member: destroyed first, so the thread is joined while everything it uses still exists.
  SerialQueue queue_;
};

}  // namespace veltra
