#include "client_test_support.h"

#include <filesystem>
#include <fstream>

namespace veltra::test {

void TestQueue::post(Task task) {
  ++posted_;
  asio_.post([this, task = std::move(task)] {
    task();
    ++executed_;
  });
}

TaskHandle TestQueue::repeating(Duration interval, Task task) {
  if (!manualTicks_) return asio_.repeating(interval, std::move(task));
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  repeating_.emplace_back(cancelled, std::move(task));
  return TaskHandle(cancelled);
}

void TestQueue::tick() {
  const auto due = repeating_;
  for (const auto& [cancelled, task] : due)
    if (!*cancelled) task();
}

void ScriptedHost::accept() {
  connection_ = RemoteConnection::accepted(listener_.accept(), RemoteAuthentication::secret(key_));
  connection_->onPacket = [record = record_](RemotePacket type, Bytes payload) {
    std::lock_guard lock(record->mutex);
    record->packets.emplace_back(type, std::move(payload));
  };
  connection_->onEnd = [record = record_](const std::string&) {
    std::lock_guard lock(record->mutex);
    record->ended = true;
  };
  connection_->start();
}

void ScriptedHost::sendStream(const EncodedStream& stream, size_t from, size_t to) {
  if (from == 0) send(RemotePacket::videoFormat, stream.format.encodeJson());
  for (size_t index = from; index < to; ++index)
    send(RemotePacket::videoFrame, stream.frames[index]);
}

std::vector<Bytes> ScriptedHost::payloads(RemotePacket type) const {
  std::vector<Bytes> found;
  for (auto& [each, payload] : packets())
    if (each == type) found.push_back(payload);
  return found;
}

Session::Session(bool manualTime, RemoteClientOptions options) : queue(manualTime) {
  if (manualTime) {
    options.now = [this] { return now; };
    options.referenceSeconds = [this] { return wall; };
  }
  client = std::make_unique<RemoteClient>(queue, std::move(options));
  client->onFrame = [this](const auto& frame) { frames.push_back(frame); };
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
  if (!runUntil([&] { return client->connected(); }))
    throw std::runtime_error("not authenticated: " + client->status());
}

const EncodedStream& testStream() {
  static const EncodedStream stream = encodeH264(320, 180, 40);
  return stream;
}

int threadsNamed(const std::string& name) {
  int found = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string each;
    if (std::getline(std::ifstream(task.path() / "comm"), each) && each == name) ++found;
  }
  return found;
}

}  // namespace veltra::test
