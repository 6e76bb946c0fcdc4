#pragma once

#include <cstdint>
#include <optional>

namespace veltra {

// Packet type, one byte on the wire. 1-4 are handshake types, 10-18 session types of the base
// protocol, 19 and up the session types of extensions (SessionExtensions), which flow only once
// both peers named the extension; every other byte names no packet.
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
  clipboard = 19,
  cursor = 20,
  audio = 21,
};

constexpr uint8_t kFirstSessionPacket = 10;

constexpr std::optional<RemotePacket> remotePacket(uint8_t rawValue) {
  if ((rawValue >= 1 && rawValue <= 4) || (rawValue >= 10 && rawValue <= 21)) {
    return static_cast<RemotePacket>(rawValue);
  }
  return std::nullopt;
}

// The first extension type: a base peer neither sends nor expects this type or any above it.
constexpr uint8_t kFirstExtensionPacket = 19;

constexpr uint8_t rawValue(RemotePacket packet) {
  return static_cast<uint8_t>(packet);
}

const char* packetName(RemotePacket packet);

}  // namespace veltra
