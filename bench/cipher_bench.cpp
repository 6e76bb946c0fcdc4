// Seal + open throughput of SessionCipher against bare EVP AES-256-GCM doing the same
// cryptographic work on buffers of the same size. The difference is what the record layer costs
// (allocation, the random nonce, header handling); the table at the end prints the ratio.
//
//   cipher_bench [--benchmark_min_time=2]

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "protocol/RemoteAuthentication.h"
#include "protocol/RemotePacket.h"
#include "protocol/SessionCipher.h"
#include "ratio_reporter.h"

namespace {

using veltra::Bytes;
using veltra::ByteView;
using veltra::RemoteRole;
using veltra::SessionCipher;
using veltra::RemoteAuthentication::newKey;
using veltra::RemoteAuthentication::nonce;
using veltra::RemoteAuthentication::secret;

constexpr int64_t kSizes[] = {64, 1024, 64 * 1024, 1024 * 1024};

struct CipherPair {
  CipherPair()
      : key(secret(newKey())),
        clientNonce(nonce()),
        hostNonce(nonce()),
        sender(key, clientNonce, hostNonce, RemoteRole::host),
        receiver(key, clientNonce, hostNonce, RemoteRole::host) {}
  veltra::SecretKey key;
  Bytes clientNonce;
  Bytes hostNonce;
  SessionCipher sender;
  SessionCipher receiver;
};

void sessionCipherSealOpen(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  CipherPair pair;
  const Bytes plaintext(size, 0x5a);
  for (auto _ : state) {
    const Bytes record = pair.sender.seal(plaintext);
    const Bytes opened = pair.receiver.open(record);
    benchmark::DoNotOptimize(opened.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The video path: type byte and payload sealed straight into a frame.
void sessionCipherSealFrameOpen(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  CipherPair pair;
  const Bytes payload(size - 1, 0x5a);
  for (auto _ : state) {
    const Bytes frame =
        pair.sender.sealFrame(veltra::rawValue(veltra::RemotePacket::videoFrame), payload);
    const Bytes opened = pair.receiver.open(ByteView(frame).subspan(4));
    benchmark::DoNotOptimize(opened.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void check(bool ok) {
  if (!ok) throw std::runtime_error("EVP call failed");
}

// The reference: one context per direction keyed once, a new IV per record, preallocated
// buffers, the same 8-byte AAD and 16-byte tag.
void rawEvpSealOpen(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  const Bytes key = nonce();
  EVP_CIPHER_CTX* encrypt = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* decrypt = EVP_CIPHER_CTX_new();
  check(EVP_EncryptInit_ex(encrypt, EVP_aes_256_gcm(), nullptr, key.data(), nullptr) == 1);
  check(EVP_DecryptInit_ex(decrypt, EVP_aes_256_gcm(), nullptr, key.data(), nullptr) == 1);

  const Bytes plaintext(size, 0x5a);
  Bytes ciphertext(size);
  Bytes opened(size);
  uint8_t aad[8] = {};
  uint8_t iv[12] = {};
  uint8_t tag[16];
  uint8_t scratch[16];
  uint64_t counter = 0;
  const int length = static_cast<int>(size);
  for (auto _ : state) {
    ++counter;
    std::memcpy(iv, &counter, sizeof counter);
    std::memcpy(aad, &counter, sizeof counter);
    int out = 0;
    check(EVP_EncryptInit_ex(encrypt, nullptr, nullptr, nullptr, iv) == 1);
    check(EVP_EncryptUpdate(encrypt, nullptr, &out, aad, sizeof aad) == 1);
    check(EVP_EncryptUpdate(encrypt, ciphertext.data(), &out, plaintext.data(), length) == 1);
    check(EVP_EncryptFinal_ex(encrypt, scratch, &out) == 1);
    check(EVP_CIPHER_CTX_ctrl(encrypt, EVP_CTRL_GCM_GET_TAG, sizeof tag, tag) == 1);

    check(EVP_DecryptInit_ex(decrypt, nullptr, nullptr, nullptr, iv) == 1);
    check(EVP_DecryptUpdate(decrypt, nullptr, &out, aad, sizeof aad) == 1);
    check(EVP_DecryptUpdate(decrypt, opened.data(), &out, ciphertext.data(), length) == 1);
    check(EVP_CIPHER_CTX_ctrl(decrypt, EVP_CTRL_GCM_SET_TAG, sizeof tag, tag) == 1);
    check(EVP_DecryptFinal_ex(decrypt, scratch, &out) == 1);
    benchmark::DoNotOptimize(opened.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  EVP_CIPHER_CTX_free(encrypt);
  EVP_CIPHER_CTX_free(decrypt);
}

// Console output as usual, then each SessionCipher rate over the raw rate of the same size.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto counter = run.counters.find("bytes_per_second");
      if (run.error_occurred || counter == run.counters.end()) continue;
      // With --benchmark_repetitions the median stands for the size; otherwise the single run.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      auto& entry = rates_[std::stoll(run.run_name.args)][run.run_name.function_name];
      if (median || !entry.second) entry = {counter->second.value, median};
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::FILE* out = stdout;
    std::fprintf(out, "\n%10s %14s %18s %10s %18s %10s\n", "bytes", "raw MB/s", "seal+open MB/s",
                 "ratio", "sealFrame MB/s", "ratio");
    for (const auto& [size, rates] : rates_) {
      const double raw = value(rates, "rawEvpSealOpen");
      const double seal = value(rates, "sessionCipherSealOpen");
      const double frame = value(rates, "sessionCipherSealFrameOpen");
      std::fprintf(out, "%10lld %14.1f %18.1f %10.3f %18.1f %10.3f\n", size, raw / 1e6, seal / 1e6,
                   raw > 0 ? seal / raw : 0.0, frame / 1e6, raw > 0 ? frame / raw : 0.0);
    }
  }

 private:
  using Rates = std::map<std::string, std::pair<double, bool>>;  // function -> (rate, is median)

  static double value(const Rates& rates, const std::string& name) {
    const auto found = rates.find(name);
    return found == rates.end() ? 0.0 : found->second.first;
  }

  std::map<long long, Rates> rates_;  // by record size, in bytes per second
};

}  // namespace

int main(int argc, char** argv) {
  veltra::bench::tuneAllocatorUnlessAsked(argc, argv);
  // Size by size, so that a change in machine load hits both sides of each ratio alike.
  for (const int64_t size : kSizes) {
    benchmark::RegisterBenchmark("rawEvpSealOpen", rawEvpSealOpen)->Arg(size);
    benchmark::RegisterBenchmark("sessionCipherSealOpen", sessionCipherSealOpen)->Arg(size);
    benchmark::RegisterBenchmark("sessionCipherSealFrameOpen", sessionCipherSealFrameOpen)
        ->Arg(size);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
