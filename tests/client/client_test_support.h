#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/RemoteClient.h"
#include "codec/h264_test_stream.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/loopback_fixture.h"
#include "support/AsioMainQueue.h"

namespace veltra::test {

using namespace std::chrono_literals;

// AsioMainQueue counting the tasks posted (any thread may read it) and run; with manual ticks,
// repeating tasks run only from tick(). Main thread.
class TestQueue final : public MainQueue {
 public:
  explicit TestQueue(bool manualTicks) : manualTicks_(manualTicks) {}

  void post(Task task) override {
    ++posted_;
    asio_.post([this, task = std::move(task)] {
      task();
      ++executed_;
    });
  }
  TaskHandle postDelayed(Duration delay, Task task) override {
    return asio_.postDelayed(delay, std::move(task));
  }
  TaskHandle repeating(Duration interval, Task task) override {
    if (!manualTicks_) return asio_.repeating(interval, std::move(task));
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    repeating_.emplace_back(cancelled, std::move(task));
    return TaskHandle(cancelled);
  }
  bool isCurrent() const override { return asio_.isCurrent(); }

  void tick() {
    const auto due = repeating_;
    for (const auto& [cancelled, task] : due)
      if (!*cancelled) task();
  }
  int posted() const { return posted_; }
  int executed() const { return executed_; }
  bool runUntil(const std::function<bool()>& condition) { return asio_.runUntil(condition, 10s); }

 private:
  AsioMainQueue asio_;
  const bool manualTicks_;
  std::vector<std::pair<std::shared_ptr<std::atomic<bool>>, Task>> repeating_;
  std::atomic<int> posted_{0};
  std::atomic<int> executed_{0};
};

// A real host-role connection on a loopback listener that records every packet the client sends;
// safe to destroy while it still talks. Test thread; the record fills on the connection's thread.
class ScriptedHost {
 public:
  uint16_t port() const { return listener_.port(); }
  const std::string& key() const { return key_; }

  // Takes the client's connection (blocking until it arrives) and starts the handshake.
  void accept();
  void close() { connection_.reset(); }
  void send(RemotePacket type, std::string_view text = {}) {
    connection_->send(type, Bytes(text.begin(), text.end()));
  }
  void send(RemotePacket type, Bytes payload) { connection_->send(type, std::move(payload)); }
  // Sends the stream's format (when `from` is 0) and its frames [from, to).
  void sendStream(const EncodedStream& stream, size_t from, size_t to) {
    if (from == 0) send(RemotePacket::videoFormat, stream.format.encodeJson());
    for (size_t index = from; index < to; ++index)
      send(RemotePacket::videoFrame, stream.frames[index]);
  }

  std::vector<std::pair<RemotePacket, Bytes>> packets() const {
    std::lock_guard lock(record_->mutex);
    return record_->packets;
  }
  std::vector<Bytes> payloads(RemotePacket type) const {
    std::vector<Bytes> found;
    for (auto& [each, payload] : packets())
      if (each == type) found.push_back(payload);
    return found;
  }
  int count(RemotePacket type) const { return static_cast<int>(payloads(type).size()); }
  bool ended() const {
    std::lock_guard lock(record_->mutex);
    return record_->ended;
  }

 private:
  // Shared with the connection's callbacks, which may run after the host is gone.
  struct Record {
    std::mutex mutex;
    std::vector<std::pair<RemotePacket, Bytes>> packets;
    bool ended = false;
  };
  Listener listener_;
  std::string key_ = RemoteAuthentication::newKey();
  std::shared_ptr<Record> record_ = std::make_shared<Record>();
  std::shared_ptr<RemoteConnection> connection_;
};

// One client, its queue and a scripted host. With manual time the client's clocks are `now`
// and `wall` and it ticks only from queue.tick().
struct Session {
  explicit Session(bool manualTime = true, RemoteClientOptions options = {}) : queue(manualTime) {
    if (manualTime) {
      options.now = [this] { return now; };
      options.referenceSeconds = [this] { return wall; };
    }
    client = std::make_unique<RemoteClient>(queue, std::move(options));
    client->onFrame = [this](const auto& frame) { frames.push_back(frame); };
  }
  // The client goes first, so that callbacks still queued find it gone rather than `frames`.
  ~Session() { client.reset(); }

  void typeHost() {
    client->setAddress("127.0.0.1");
    client->setPort(std::to_string(host.port()));
    client->setConnectionKey(host.key());
  }
  void connect() {  // and runs until authenticated
    typeHost();
    client->connect();
    host.accept();
    if (!runUntil([&] { return client->connected(); }))
      throw std::runtime_error("not authenticated: " + client->status());
  }
  bool runUntil(const std::function<bool()>& condition) { return queue.runUntil(condition); }
  bool drain() {
    return runUntil([&] { return queue.executed() == queue.posted(); });
  }

  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point() + 1000h;
  double wall = 800'000'000.0;
  TestQueue queue;
  ScriptedHost host;
  std::unique_ptr<RemoteClient> client;
  std::vector<std::shared_ptr<const RemoteFrame>> frames;
};

}  // namespace veltra::test
