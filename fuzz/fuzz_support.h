#pragma once

// What the fuzz targets share: a failed property aborts, so that libFuzzer keeps the input, and
// a reader that takes bytes from the front of the input (zeros and short spans at its end).

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "support/Bytes.h"

namespace veltra::fuzz {

inline void check(bool condition) {
  if (!condition) std::abort();
}

class Reader {
 public:
  explicit Reader(ByteView input) : input_(input) {}
  size_t left() const { return input_.size(); }
  uint8_t byte() { return left() ? bytes(1)[0] : 0; }
  int u16() {
    const int high = byte();
    return high << 8 | byte();
  }
  ByteView bytes(size_t count) {
    const ByteView taken = input_.first(std::min(count, left()));
    input_ = input_.subspan(taken.size());
    return taken;
  }

 private:
  ByteView input_;
};

}  // namespace veltra::fuzz
