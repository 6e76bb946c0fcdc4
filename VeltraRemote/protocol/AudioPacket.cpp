#include "protocol/AudioPacket.h"

namespace veltra {
Bytes AudioPacket::encode() const {
  Bytes out;
  out.reserve(kHeaderSize + opus.size());
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(sequence >> shift));
  const auto time = static_cast<uint64_t>(captureTime);
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(time >> shift));
  out.insert(out.end(), opus.begin(), opus.end());
  return out;
}

std::optional<AudioPacket> AudioPacket::decode(ByteView payload) {
  if (payload.size() <= kHeaderSize || payload.size() > kHeaderSize + kMaximumOpusBytes) {
    return std::nullopt;
  }
  AudioPacket packet;
  for (size_t at = 0; at < 4; ++at) packet.sequence = packet.sequence << 8 | payload[at];
  uint64_t time = 0;
  for (size_t at = 4; at < kHeaderSize; ++at) time = time << 8 | payload[at];
  packet.captureTime = static_cast<int64_t>(time);
  packet.opus.assign(payload.begin() + kHeaderSize, payload.end());
  return packet;
}

}  // namespace veltra
