#pragma once

// Byte helpers and a recording channel sink shared by the protocol tests.

#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/RemotePacket.h"
#include "protocol/SecretKey.h"
#include "protocol/SecureChannel.h"
#include "support/Bytes.h"

namespace veltra::test {

inline Bytes fromHex(std::string_view hex) {
  auto nibble = [](char c) -> uint8_t {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    throw std::invalid_argument("not hex");
  };
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  }
  return out;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

inline Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// first, first + 1, ... (wrapping), `count` bytes.
inline Bytes counting(uint8_t first, size_t count) {
  Bytes out(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(first + i);
  return out;
}

inline Bytes concat(std::initializer_list<ByteView> parts) {
  Bytes out;
  for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline SecretKey secretKey(ByteView bytes) {
  return SecretKey(std::span<const uint8_t, SecretKey::kSize>(bytes.data(), SecretKey::kSize));
}

struct RecordingSink : SecureChannel::Sink {
  void write(Bytes frame) override { writes.push_back(std::move(frame)); }
  void ready() override { ++readyCount; }
  void packet(RemotePacket type, Bytes payload) override {
    packets.emplace_back(type, std::move(payload));
  }
  std::vector<Bytes> writes;
  int readyCount = 0;
  std::vector<std::pair<RemotePacket, Bytes>> packets;
};

}  // namespace veltra::test
