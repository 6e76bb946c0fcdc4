#pragma once

#include <cstdint>
#include <optional>

#include "support/Bytes.h"

namespace veltra {

// One packet of the audio extension, host to client: one Opus frame of 48 kHz stereo sound (10 or
// 20 ms), numbered and stamped so that the client can tell a gap (silence sends nothing) from a
// late packet and keep sound in step with the picture. Any thread (a value).
struct AudioPacket {
  // Larger Opus packets do not exist at these frame lengths.
  static constexpr size_t kMaximumOpusBytes = 1500;
  static constexpr size_t kHeaderSize = 12;

  // Counts frames of 10 ms from the start of the stream: a silent stretch of N ms skips N / 10.
  uint32_t sequence = 0;
  // When the frame's first sample was taken, in microseconds of the host's monotonic clock (the
  // clock that stamps the pictures).
  int64_t captureTime = 0;
  Bytes opus;

  // sequence (4 bytes) and captureTime (8 bytes), big-endian, then the Opus packet.
  Bytes encode() const;
  // Nothing for a payload without an Opus packet or with one above kMaximumOpusBytes.
  static std::optional<AudioPacket> decode(ByteView payload);

  friend bool operator==(const AudioPacket&, const AudioPacket&) = default;
};

}  // namespace veltra
