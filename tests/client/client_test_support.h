#pragma once

// A client session against a scripted host over loopback TCP: the test drives the client's main
// queue, scripts what the host sends, and reads what the client sent. Time is either manual (the
// client's clocks and ticks move only when the test says) or real with shortened intervals.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/RemoteClient.h"
#include "codec/h264_test_stream.h"
#include "protocol/loopback_fixture.h"
#include "support/AsioMainQueue.h"

namespace veltra::test {

using namespace std::chrono_literals;

// AsioMainQueue with counts of the tasks posted and run, so that a test can wait for callbacks
// without running them, or run exactly those that are waiting. With manual ticks, repeating
// tasks run only from tick().
class TestQueue final : public MainQueue {
 public:
  explicit TestQueue(bool manualTicks) : manualTicks_(manualTicks) {}

  void post(Task task) override;
  TaskHandle postDelayed(Duration delay, Task task) override;
  TaskHandle repeating(Duration interval, Task task) override;
  bool isCurrent() const override { return asio_.isCurrent(); }

  // Runs each repeating task that is still scheduled, once.
  void tick();
  int posted() const { return posted_.load(); }
  int executed() const { return executed_.load(); }
  bool runUntil(const std::function<bool()>& condition, Duration timeout = 10s) {
    return asio_.runUntil(condition, timeout);
  }
  void runFor(Duration duration) { asio_.runFor(duration); }

 private:
  struct Repeating {
    std::shared_ptr<std::atomic<bool>> cancelled;
    Task task;
  };
  AsioMainQueue asio_;
  const bool manualTicks_;
  std::vector<Repeating> repeating_;
  std::atomic<int> posted_{0};
  std::atomic<int> executed_{0};
};

// The host end of a client's attempt: a real host-role connection on a loopback listener that
// records every packet the client sends. Safe to destroy while the connection still talks.
class ScriptedHost {
 public:
  ScriptedHost();
  ~ScriptedHost();

  uint16_t port() const { return listener_.port(); }
  const std::string& key() const { return key_; }

  // Takes the client's connection (blocking until it arrives) and starts the handshake.
  void accept();
  // Takes the client's connection and never answers.
  void acceptAndStall();
  // Drops the connection, as a host that quits does.
  void close();
  void send(RemotePacket type, Bytes payload = {});
  void send(RemotePacket type, std::string_view text);
  // Sends the stream's format (when `from` is 0) and its frames [from, to).
  void sendStream(const EncodedStream& stream, size_t from, size_t to);
  // Answers each ping with a pong carrying its payload, as a real host does.
  void setEchoPings(bool echo);

  std::vector<std::pair<RemotePacket, Bytes>> packets() const;
  std::vector<Bytes> payloads(RemotePacket type) const;
  int count(RemotePacket type) const;
  bool ended() const;

 private:
  struct Record;
  Listener listener_;
  std::string key_;
  std::shared_ptr<Record> record_;
  std::shared_ptr<RemoteConnection> connection_;
  std::optional<asio::ip::tcp::socket> stalled_;
};

// One client, its queue and a scripted host. With manual time the client's clocks are `now`
// and `wall` and it ticks only from queue.tick().
struct Session {
  explicit Session(bool manualTime = true, RemoteClientOptions options = {});
  ~Session();

  // Types the host's address, port and key into the client.
  void typeHost();
  // Types the host, connects and runs until authenticated.
  void connect();
  // The host confirms the display; runs until the client shows it.
  void confirm();
  bool runUntil(const std::function<bool()>& condition, MainQueue::Duration timeout = 10s) {
    return queue.runUntil(condition, timeout);
  }
  // Runs until `count` more callbacks than at `mark` have run on the main queue.
  bool runCallbacks(int mark, int count) {
    return runUntil([&] { return queue.executed() >= mark + count; });
  }

  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point() + 1000h;
  double wall = 800'000'000.0;
  TestQueue queue;
  ScriptedHost host;
  std::unique_ptr<RemoteClient> client;
  std::vector<std::shared_ptr<const RemoteFrame>> frames;
};

// 320×180 pictures of moving content, made once per test program.
const EncodedStream& testStream();

// Threads of this process whose name is `name`.
int threadsNamed(const std::string& name);

}  // namespace veltra::test
