#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace veltra {

// Owned byte buffer. Video frames of several MB travel in these: move them, don't copy.
using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline ByteView asBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

inline Bytes toBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

inline std::string_view asText(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace veltra
