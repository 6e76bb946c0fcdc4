#pragma once

// Prints each measured figure beside the reference it is compared with in the same run, as a
// ratio of bytes per second: figures from one shared, noisy machine mean little alone.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/Allocator.h"

namespace veltra::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Pairs of (measured benchmark name, reference benchmark name), full names with arguments.
  explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs)
      : pairs_(std::move(pairs)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto found = run.counters.find("bytes_per_second");
      if (found != run.counters.end()) rates_[run.benchmark_name()] = found->second.value;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-44s %12s %12s %7s\n", "measured / reference", "MB/s", "ref MB/s", "ratio");
    for (const auto& [measured, reference] : pairs_) {
      if (!rates_.count(measured) || !rates_.count(reference)) continue;
      const double a = rates_[measured], b = rates_[reference];
      std::printf("%-44s %12.1f %12.1f %7.3f\n", measured.c_str(), a / 1e6, b / 1e6, a / b);
    }
  }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
  std::map<std::string, double> rates_;
};

// Benchmarks run with the allocator tuned as our programs are; --default-allocator shows glibc's
// defaults instead.
inline void tuneAllocatorUnlessAsked(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--default-allocator") return;
  }
  tuneAllocatorForStreaming();
}

}  // namespace veltra::bench
