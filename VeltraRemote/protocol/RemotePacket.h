#pragma once

#include <cstdint>
#include <optional>

namespace veltra {

// Packet type, one byte on the wire. 1-4 are handshake types, 10-18 session types; every other
// byte names no packet.
enum class RemotePacket : uint8_t {
  hello = 1,
  challenge = 2,
  proof = 3,
  authenticated = 4,
  configuration = 10,
  videoFormat = 11,
  videoFrame = 12,
  input = 13,
  releaseInput = 14,
  ping = 15,
  pong = 16,
  failure = 17,
  frameAck = 18,
};

constexpr uint8_t kFirstSessionPacket = 10;

constexpr std::optional<RemotePacket> remotePacket(uint8_t rawValue) {
  if ((rawValue >= 1 && rawValue <= 4) || (rawValue >= 10 && rawValue <= 18)) {
    return static_cast<RemotePacket>(rawValue);
  }
  return std::nullopt;
}

constexpr uint8_t rawValue(RemotePacket packet) {
  return static_cast<uint8_t>(packet);
}

const char* packetName(RemotePacket packet);

}  // namespace veltra
