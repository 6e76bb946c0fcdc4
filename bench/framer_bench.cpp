// Reassembly of 1 MiB bodies arriving in 64 KiB chunks, against a plain memcpy of the same
// chunks into one buffer (the least any reassembly must do).
#include <cstring>
#include <memory>

#include "protocol/PacketFramer.h"
#include "ratio_reporter.h"

namespace {

using veltra::Bytes;
using veltra::ByteView;
using veltra::PacketFramer;

constexpr size_t kBody = 1 << 20;
constexpr size_t kChunk = 64 << 10;

Bytes stream(size_t frames) {
  Bytes out;
  Bytes body(kBody, 0x42);
  for (size_t i = 0; i < frames; ++i) {
    const Bytes framed = PacketFramer::frame(body);
    out.insert(out.end(), framed.begin(), framed.end());
  }
  return out;
}

void framerReassembly(benchmark::State& state) {
  const Bytes input = stream(8);
  size_t bodies = 0;
  for (auto _ : state) {
    PacketFramer framer;
    for (size_t offset = 0; offset < input.size(); offset += kChunk) {
      const size_t size = std::min(kChunk, input.size() - offset);
      for (auto& body : framer.append(ByteView(input).subspan(offset, size))) {
        benchmark::DoNotOptimize(body.data());
        ++bodies;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
  benchmark::DoNotOptimize(bodies);
}
BENCHMARK(framerReassembly);

void memcpyReference(benchmark::State& state) {
  const Bytes input = stream(8);
  for (auto _ : state) {
    // A fresh destination per body, as the framer hands out fresh buffers.
    for (size_t frame = 0; frame < 8; ++frame) {
      auto body = std::make_unique_for_overwrite<uint8_t[]>(kBody + 4);
      const size_t base = frame * (kBody + 4);
      for (size_t offset = 0; offset < kBody + 4; offset += kChunk) {
        const size_t size = std::min(kChunk, kBody + 4 - offset);
        std::memcpy(body.get() + offset, input.data() + base + offset, size);
      }
      benchmark::DoNotOptimize(body.get());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(memcpyReference);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  veltra::bench::RatioReporter reporter(
      {std::pair<std::string, std::string>{"framerReassembly", "memcpyReference"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
