#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/Bytes.h"

namespace veltra {

// Cuts a TCP byte stream into frames: a 4-byte big-endian body length N (1 <= N <= limit),
// then N body bytes. Plain value owned by one connection and used only on its wire queue.
//
// A frame body is copied exactly once, from the received chunks into its own buffer, which is
// then handed out by move: video frames of megabytes pass through here.
class PacketFramer {
 public:
  static constexpr uint32_t maximumSize = 8'388'608;  // 8 MiB, inclusive
  static constexpr size_t kHeaderSize = 4;

  // Four length bytes followed by the body. Throws RemoteError::invalidPacket for an empty body
  // or one over maximumSize.
  static Bytes frame(ByteView body);

  // Takes one received chunk and returns every frame body it completes, in stream order.
  // Throws RemoteError::invalidPacket as soon as a length of 0 or over `limit` has arrived,
  // before any of its body is buffered; bodies completed earlier in the same call are dropped
  // with the throw. The framer is not meant to be used after a throw.
  std::vector<Bytes> append(ByteView chunk, uint32_t limit = maximumSize);

  // Bytes held for the next chunk: a partial length field or a partial body with its length.
  size_t bufferedSize() const;

 private:
  std::array<uint8_t, kHeaderSize> header_{};
  size_t headerSize_ = 0;
  uint32_t expected_ = 0;  // body length of the frame in progress, 0 while reading a header
  Bytes body_;
};

}  // namespace veltra
