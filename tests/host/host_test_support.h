#pragma once

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codec/PictureEncoder.h"
#include "harness/harness.h"
#include "host/HostPlatform.h"
#include "host/InputEventSink.h"
#include "host/ScreenSource.h"
#include "host/x11/KeyMap.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteConnection.h"
#include "protocol/RemoteError.h"
#include "protocol/RemoteInput.h"
#include "support/AsioMainQueue.h"

namespace veltra::test {

using namespace std::chrono_literals;

// Everything the fake platform did, shared so that it outlives the host under test.
struct PlatformRecord {
  bool screenPermission = true;
  bool inputPermission = true;
  bool holdDisplays = false;             // createDisplay waits for completeDisplay()
  std::string displayError;              // createDisplay fails with this text
  std::string captureError;              // makeCapture throws this text
  std::atomic<bool> displayFound{true};  // whether the capture's source finds its display
  bool xtest = true;                     // whether the input sink can inject
  DisplayBounds bounds{0, 0, 1920, 1080};

  std::vector<RemoteConfiguration> displaysCreated;
  std::vector<uint32_t> displaysReleased;
  std::vector<HostPlatform::DisplayCompletion> heldCompletions;
  uint32_t nextDisplayID = 7;
  int activitiesBegun = 0;
  int activitiesLive = 0;
  int xtestAsked = 0;
  int boundsAsked = 0;

  std::mutex mutex;  // guards the fields below, written on the capture queue
  int encoderAcks = 0;
  int encoderStops = 0;
  std::function<void(std::string)> encoderFailure;  // what an encoding error does
  std::weak_ptr<PacketSender> sender;               // the session's, as the encoder sends on it

  std::vector<std::string> inputEvents;  // "key 38 down", "motion 10,20", "button 1 up", "flush"

  bool clipboard = true;                          // whether the platform makes clipboards
  std::vector<uint32_t> clipboardsStarted;        // the display of each
  std::vector<std::string> clipboardTexts;        // what the client copied, in order
  std::function<void(HostClipboard::Copy)> copy;  // a program in the display copies

  bool audio = true;                      // whether the platform makes sound recorders
  std::vector<uint32_t> audioStarted;     // the display of each
  std::function<void(AudioPacket)> play;  // the display's sound, as the recorder's thread emits it
};

// Main thread, like the host; a copy in the display is record->copy(...).
class FakeClipboard final : public HostClipboard {
 public:
  explicit FakeClipboard(std::shared_ptr<PlatformRecord> record) : record_(std::move(record)) {}
  ~FakeClipboard() override { record_->copy = nullptr; }
  void start(uint32_t displayID) override {
    record_->clipboardsStarted.push_back(displayID);
    record_->copy = onCopy;
  }
  void setText(std::string text) override { record_->clipboardTexts.push_back(std::move(text)); }

 private:
  std::shared_ptr<PlatformRecord> record_;
};

// Main thread, like the host; it emits a first frame as it starts, as a display already playing
// does, and the display's sound after that is record->play(...).
class FakeAudio final : public HostAudio {
 public:
  static inline const AudioPacket kFirst{5, 1'000'000, {0xf8, 0xff, 0xfe}};

  explicit FakeAudio(std::shared_ptr<PlatformRecord> record) : record_(std::move(record)) {}
  ~FakeAudio() override { record_->play = nullptr; }
  void start(uint32_t displayID) override {
    record_->audioStarted.push_back(displayID);
    record_->play = onPacket;
    onPacket(kFirst);
  }

 private:
  std::shared_ptr<PlatformRecord> record_;
};

class FakeDisplay final : public VirtualDisplay {
 public:
  FakeDisplay(uint32_t id, std::shared_ptr<PlatformRecord>) : id_(id) {}
  uint32_t displayID() const override { return id_; }
  bool alive() const override { return true; }

 private:
  uint32_t id_;
};

class FakeActivity final : public ProcessActivity {
 public:
  explicit FakeActivity(std::shared_ptr<PlatformRecord> record) : record_(std::move(record)) {
    ++record_->activitiesLive;
  }
  ~FakeActivity() override { --record_->activitiesLive; }

 private:
  std::shared_ptr<PlatformRecord> record_;
};

class FakeEncoder final : public PictureEncoder {
 public:
  explicit FakeEncoder(std::shared_ptr<PlatformRecord> record) : record_(std::move(record)) {}
  bool encode(ScreenPicture, int64_t) override { return true; }
  std::string name() const override { return "fake264"; }
  void stop() override {
    std::lock_guard lock(record_->mutex);
    ++record_->encoderStops;
  }
  void acknowledgeFrame() override {
    std::lock_guard lock(record_->mutex);
    ++record_->encoderAcks;
  }

 private:
  std::shared_ptr<PlatformRecord> record_;
};

// A display that is found (or not, as the record says) and never changes after the first picture.
class FakeSource final : public ScreenSource {
 public:
  explicit FakeSource(std::shared_ptr<PlatformRecord> record) : record_(std::move(record)) {}
  bool open(uint32_t, int, int) override { return record_->displayFound.load(); }
  bool poll() override { return false; }
  bool grab(ScreenPicture&) override { return true; }
  bool broken() const override { return false; }
  void close() override {}

 private:
  std::shared_ptr<PlatformRecord> record_;
};

// Input as lines in the record; keys map as on X.
class RecordingInputSink final : public InputEventSink {
 public:
  explicit RecordingInputSink(std::shared_ptr<PlatformRecord> record)
      : record_(std::move(record)) {}
  bool canInject(uint32_t) override { return ++record_->xtestAsked, record_->xtest; }
  DisplayBounds bounds(uint32_t) override { return ++record_->boundsAsked, record_->bounds; }
  std::optional<uint32_t> keyCode(uint16_t macKey) override {
    return x11::xKeycodeForMacKey(macKey);
  }
  void key(uint32_t code, bool press) override { log("key " + std::to_string(code), press); }
  void motion(PixelPoint at) override {
    record_->inputEvents.push_back("motion " + std::to_string(at.x) + "," + std::to_string(at.y));
  }
  void button(int xButton, bool press) override { log("button " + std::to_string(xButton), press); }
  void flush() override { record_->inputEvents.push_back("flush"); }

 private:
  void log(const std::string& what, bool press) {
    record_->inputEvents.push_back(what + (press ? " down" : " up"));
  }
  std::shared_ptr<PlatformRecord> record_;
};

class FakeHostPlatform final : public HostPlatform {
 public:
  FakeHostPlatform(MainQueue& main, std::shared_ptr<PlatformRecord> record)
      : main_(main), record_(std::move(record)) {}

  bool screenPermission() override { return record_->screenPermission; }
  bool inputPermission() override { return record_->inputPermission; }

  std::string chooseSession(const std::string& choice) override {
    return choice == "none" ? std::string() : choice;
  }

  void createDisplay(const RemoteConfiguration& configuration,
                     DisplayCompletion completion) override {
    record_->displaysCreated.push_back(configuration);
    if (record_->holdDisplays) {
      record_->heldCompletions.push_back(std::move(completion));
      return;
    }
    const uint32_t id = record_->displayError.empty() ? record_->nextDisplayID++ : 0;
    main_.post([completion, id, record = record_, error = record_->displayError] {
      completion(id ? std::make_unique<FakeDisplay>(id, record) : nullptr, error);
    });
  }

  void releaseDisplay(std::unique_ptr<VirtualDisplay> display) override {
    if (display) record_->displaysReleased.push_back(display->displayID());
  }

  std::unique_ptr<RemoteCapture> makeCapture(const RemoteConfiguration& configuration,
                                             std::shared_ptr<PacketSender> sender) override {
    if (!record_->captureError.empty()) throw RemoteError::unavailable(record_->captureError);
    auto encoder = std::make_unique<FakeEncoder>(record_);
    {
      std::lock_guard lock(record_->mutex);
      record_->encoderFailure = [raw = encoder.get()](std::string text) { raw->onFailure(text); };
      record_->sender = std::move(sender);
    }
    RemoteCapture::Options options;
    options.lookupInterval = 20ms;
    return std::make_unique<RemoteCapture>(configuration, std::move(encoder),
                                           std::make_unique<FakeSource>(record_), main_, options);
  }

  std::unique_ptr<RemoteInputInjector> makeInjector() override {
    return std::make_unique<RemoteInputInjector>(std::make_unique<RecordingInputSink>(record_));
  }

  std::unique_ptr<HostClipboard> makeClipboard() override {
    return record_->clipboard ? std::make_unique<FakeClipboard>(record_) : nullptr;
  }

  std::unique_ptr<HostAudio> makeAudio() override {
    return record_->audio ? std::make_unique<FakeAudio>(record_) : nullptr;
  }

  std::unique_ptr<ProcessActivity> beginActivity(const std::string&) override {
    ++record_->activitiesBegun;
    return std::make_unique<FakeActivity>(record_);
  }

  void completeDisplay() {
    auto completion = std::move(record_->heldCompletions.front());
    record_->heldCompletions.erase(record_->heldCompletions.begin());
    completion(std::make_unique<FakeDisplay>(record_->nextDisplayID++, record_), {});
  }

 private:
  MainQueue& main_;
  std::shared_ptr<PlatformRecord> record_;
};

// The client end of a session, driven from the test: a real client-role RemoteConnection whose
// callbacks record into main-queue state.
class TestClient {
 public:
  TestClient(MainQueue& main, uint16_t port, const std::string& key)
      : connection_(
            RemoteConnection::client("127.0.0.1", port, RemoteAuthentication::secret(key))) {
    connection_->onReady = [&main, state = state_] { main.post([state] { state->ready = true; }); };
    connection_->onPacket = [&main, state = state_](RemotePacket type, Bytes payload) {
      main.post([state, type, text = std::string(payload.begin(), payload.end())] {
        state->packets.emplace_back(type, text);
      });
    };
    connection_->onEnd = [&main, state = state_](std::string reason) {
      main.post([state, reason] { state->endReason = reason; });
    };
    connection_->start();
  }

  void send(RemotePacket type, Bytes payload = {}) { connection_->send(type, std::move(payload)); }
  void send(RemotePacket type, const std::string& text) {
    send(type, Bytes(text.begin(), text.end()));
  }
  void cancel() { connection_->cancel(); }

  bool ready() const { return state_->ready; }
  bool ended() const { return !state_->endReason.empty(); }
  // Whether any packet of an extension's type came.
  bool receivedExtensionPackets() const {
    return std::any_of(state_->packets.begin(), state_->packets.end(), [](const auto& packet) {
      return rawValue(packet.first) >= kFirstExtensionPacket;
    });
  }
  // The type of every packet, in the order they came.
  std::vector<RemotePacket> types() const {
    std::vector<RemotePacket> types;
    for (const auto& packet : state_->packets) types.push_back(packet.first);
    return types;
  }
  std::vector<std::string> received(RemotePacket type) const {
    std::vector<std::string> texts;
    for (const auto& [t, text] : state_->packets) {
      if (t == type) texts.push_back(text);
    }
    return texts;
  }

 private:
  struct State {
    bool ready = false;
    std::string endReason;
    std::vector<std::pair<RemotePacket, std::string>> packets;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::unique_ptr<RemoteConnection> connection_;
};

// Input as the client sends it; modifier flags are CoreGraphics event flags.
constexpr uint64_t kShiftFlag = 0x20000, kControlFlag = 0x40000, kOptionFlag = 0x80000,
                   kCommandFlag = 0x100000;
inline RemoteInput keyInput(RemoteInput::Kind kind, uint16_t key, uint64_t flags = 0) {
  return {.kind = kind, .key = key, .flags = flags};
}
inline RemoteInput pointer(RemoteInput::Kind kind, double x, double y, int button = 0,
                           uint64_t flags = 0) {
  return {.kind = kind, .flags = flags, .x = x, .y = y, .button = button};
}
inline RemoteInput scroll(double y, double x = 0, int64_t phase = 0) {
  return {.kind = RemoteInput::Kind::scroll, .scrollX = x, .scrollY = y, .scrollPhase = phase};
}

}  // namespace veltra::test
