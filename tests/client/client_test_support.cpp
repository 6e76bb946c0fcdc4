#include "client_test_support.h"

#include <filesystem>
#include <fstream>

#include "protocol/RemoteAuthentication.h"

namespace veltra::test {

void TestQueue::post(Task task) {
  ++posted_;
  asio_.post([this, task = std::move(task)] {
    task();
    ++executed_;
  });
}

TaskHandle TestQueue::postDelayed(Duration delay, Task task) {
  return asio_.postDelayed(delay, std::move(task));
}

TaskHandle TestQueue::repeating(Duration interval, Task task) {
  if (!manualTicks_) return asio_.repeating(interval, std::move(task));
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  repeating_.push_back({cancelled, std::move(task)});
  return TaskHandle(cancelled);
}

void TestQueue::tick() {
  const std::vector<Repeating> due = repeating_;
  for (const Repeating& each : due) {
    if (!each.cancelled->load()) each.task();
  }
}

// Shared with the connection's callbacks, which may run after the host is gone.
struct ScriptedHost::Record {
  mutable std::mutex mutex;
  std::vector<std::pair<RemotePacket, Bytes>> packets;
  bool ended = false;
  std::atomic<bool> echoPings{false};
};

ScriptedHost::ScriptedHost()
    : key_(RemoteAuthentication::newKey()), record_(std::make_shared<Record>()) {}

ScriptedHost::~ScriptedHost() = default;

void ScriptedHost::accept() {
  connection_ = RemoteConnection::accepted(listener_.accept(), RemoteAuthentication::secret(key_));
  std::weak_ptr<RemoteConnection> weak = connection_;
  connection_->onPacket = [record = record_, weak](RemotePacket type, Bytes payload) {
    if (type == RemotePacket::ping && record->echoPings) {
      if (auto connection = weak.lock()) connection->send(RemotePacket::pong, payload);
    }
    std::lock_guard lock(record->mutex);
    record->packets.emplace_back(type, std::move(payload));
  };
  connection_->onEnd = [record = record_](const std::string&) {
    std::lock_guard lock(record->mutex);
    record->ended = true;
  };
  connection_->start();
}

void ScriptedHost::acceptAndStall() {
  stalled_.emplace(listener_.accept());
}

void ScriptedHost::close() {
  connection_.reset();
}

void ScriptedHost::send(RemotePacket type, Bytes payload) {
  connection_->send(type, std::move(payload));
}

void ScriptedHost::send(RemotePacket type, std::string_view text) {
  send(type, Bytes(text.begin(), text.end()));
}

void ScriptedHost::sendStream(const EncodedStream& stream, size_t from, size_t to) {
  if (from == 0) send(RemotePacket::videoFormat, stream.format.encodeJson());
  for (size_t index = from; index < to; ++index)
    send(RemotePacket::videoFrame, stream.frames[index]);
}

void ScriptedHost::setEchoPings(bool echo) {
  record_->echoPings = echo;
}

std::vector<std::pair<RemotePacket, Bytes>> ScriptedHost::packets() const {
  std::lock_guard lock(record_->mutex);
  return record_->packets;
}

std::vector<Bytes> ScriptedHost::payloads(RemotePacket type) const {
  std::vector<Bytes> found;
  for (auto& [each, payload] : packets()) {
    if (each == type) found.push_back(payload);
  }
  return found;
}

int ScriptedHost::count(RemotePacket type) const {
  return static_cast<int>(payloads(type).size());
}

bool ScriptedHost::ended() const {
  std::lock_guard lock(record_->mutex);
  return record_->ended;
}

Session::Session(bool manualTime, RemoteClientOptions options) : queue(manualTime) {
  if (manualTime) {
    options.now = [this] { return now; };
    options.referenceSeconds = [this] { return wall; };
  }
  client = std::make_unique<RemoteClient>(queue, std::move(options));
  client->onFrame = [this](const std::shared_ptr<const RemoteFrame>& frame) {
    frames.push_back(frame);
  };
}

// The client goes first: its callbacks may still be queued, and they must find it gone rather
// than find the frames vector gone.
Session::~Session() {
  client.reset();
}

void Session::typeHost() {
  client->setAddress("127.0.0.1");
  client->setPort(std::to_string(host.port()));
  client->setConnectionKey(host.key());
}

void Session::connect() {
  typeHost();
  client->connect();
  host.accept();
  if (!runUntil([&] { return client->connected(); })) {
    throw std::runtime_error("not authenticated: " + client->status());
  }
}

void Session::confirm() {
  host.send(RemotePacket::configuration, client->configuration().encodeJson());
  if (!runUntil([&] { return client->status().starts_with("Connected"); })) {
    throw std::runtime_error("not confirmed: " + client->status());
  }
}

const EncodedStream& testStream() {
  static const EncodedStream stream = encodeH264(320, 180, 40);
  return stream;
}

int threadsNamed(const std::string& name) {
  int found = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string each;
    if (std::getline(comm, each) && each == name) ++found;
  }
  return found;
}

}  // namespace veltra::test
