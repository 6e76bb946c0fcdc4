// Sealed videoFrame-sized packets (1 MiB) from a host connection to a client connection over
// loopback TCP, against the same bytes through two plain TCP sockets on the same machine.
#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "protocol/RemoteConnection.h"
#include "ratio_reporter.h"

namespace {

using namespace veltra;
using asio::ip::tcp;

constexpr size_t kPacket = 1 << 20;
constexpr int kBatch = 32;
constexpr int kWindow = 4;  // packets in flight, like a streaming host's small queue

struct Counter {
  std::mutex mutex;
  std::condition_variable changed;
  int64_t count = 0;
  void add() {
    std::lock_guard lock(mutex);
    ++count;
    changed.notify_all();
  }
  void waitAtLeast(int64_t target) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return count >= target; });
  }
};

void sealedPacketsOverLoopback(benchmark::State& state) {
  asio::io_context context;
  tcp::acceptor acceptor(context, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  std::array<uint8_t, 32> keyBytes{};
  keyBytes.fill(7);
  const SecretKey key(keyBytes);
  auto client = RemoteConnection::client("127.0.0.1", acceptor.local_endpoint().port(), key);
  Counter ready, received, written;
  client->onReady = [&] { ready.add(); };
  client->onPacket = [&](RemotePacket, Bytes payload) {
    if (payload.size() == kPacket) received.add();
  };
  client->start();
  auto host = RemoteConnection::accepted(acceptor.accept(), key);
  host->onReady = [&] { ready.add(); };
  host->start();
  ready.waitAtLeast(2);

  const Bytes frame(kPacket, 0x5A);
  int64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      written.waitAtLeast(sent - kWindow);
      host->send(RemotePacket::videoFrame, frame, [&] { written.add(); });
      ++sent;
    }
    received.waitAtLeast(sent);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBatch * kPacket);
  host->cancel();
  client->cancel();
}
BENCHMARK(sealedPacketsOverLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();

void plainTcpReference(benchmark::State& state) {
  asio::io_context context;
  tcp::acceptor acceptor(context, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  tcp::socket sender(context);
  sender.connect(acceptor.local_endpoint());
  tcp::socket receiver = acceptor.accept();
  sender.set_option(tcp::no_delay(true));
  std::atomic<bool> done{false};
  Counter received;
  std::thread reader([&] {
    // Reads into fresh 1 MiB buffers in 64 KiB pieces, as the connection does.
    std::vector<uint8_t> chunk(64 << 10);
    size_t inPacket = 0;
    std::error_code error;
    while (!done) {
      const size_t got = receiver.read_some(asio::buffer(chunk), error);
      if (error) break;
      inPacket += got;
      while (inPacket >= kPacket) {
        inPacket -= kPacket;
        received.add();
      }
    }
  });
  const Bytes frame(kPacket, 0x5A);
  int64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) asio::write(sender, asio::buffer(frame));
    sent += kBatch;
    received.waitAtLeast(sent);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBatch * kPacket);
  done = true;
  sender.close();
  reader.join();
}
BENCHMARK(plainTcpReference)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  veltra::bench::tuneAllocatorUnlessAsked(argc, argv);
  benchmark::Initialize(&argc, argv);
  veltra::bench::RatioReporter reporter({std::pair<std::string, std::string>{
      "sealedPacketsOverLoopback/real_time", "plainTcpReference/real_time"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
