#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "support/Bytes.h"

namespace veltra {

// The pointer's image, as the cursor extension carries it from the host to the client:
// premultiplied ARGB pixels (one uint32_t each, alpha in the top byte), row by row, and the hot
// spot, the pixel that sits at the pointer's position. Any thread (a value).
struct CursorImage {
  // Larger cursors are not sent: the client keeps the one it has.
  static constexpr int kMaximumSide = 256;
  static constexpr size_t kHeaderSize = 8;

  int width = 0;
  int height = 0;
  int hotX = 0;
  int hotY = 0;
  std::vector<uint32_t> pixels;

  // The wire form: width, height, hot x, hot y as big-endian uint16, then each pixel as four
  // bytes B, G, R, A. Only for an image that isValid().
  Bytes encode() const;
  // Nothing for a payload of the wrong length or an image that is not valid.
  static std::optional<CursorImage> decode(ByteView payload);

  // 1...kMaximumSide on each side, the hot spot inside, width × height pixels.
  bool isValid() const;

  friend bool operator==(const CursorImage&, const CursorImage&) = default;
};

}  // namespace veltra
