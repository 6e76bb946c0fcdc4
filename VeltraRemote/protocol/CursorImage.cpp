#include "protocol/CursorImage.h"

namespace veltra {
namespace {

void putUint16(Bytes& out, int value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

int uint16At(ByteView bytes, size_t at) {
  return (bytes[at] << 8) | bytes[at + 1];
}

}  // namespace

bool CursorImage::isValid() const {
  return width >= 1 && width <= kMaximumSide && height >= 1 && height <= kMaximumSide &&
         hotX >= 0 && hotX < width && hotY >= 0 && hotY < height &&
         pixels.size() == static_cast<size_t>(width) * static_cast<size_t>(height);
}

Bytes CursorImage::encode() const {
  Bytes out;
  out.reserve(kHeaderSize + pixels.size() * 4);
  for (int value : {width, height, hotX, hotY}) putUint16(out, value);
  for (uint32_t pixel : pixels) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(pixel >> shift));
  }
  return out;
}

std::optional<CursorImage> CursorImage::decode(ByteView payload) {
  if (payload.size() < kHeaderSize) return std::nullopt;
  CursorImage image{
      .width = uint16At(payload, 0),
      .height = uint16At(payload, 2),
      .hotX = uint16At(payload, 4),
      .hotY = uint16At(payload, 6),
      .pixels = {},
  };
  const size_t count = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  if (payload.size() != kHeaderSize + count * 4) return std::nullopt;
  image.pixels.resize(count);
  const uint8_t* bytes = payload.data() + kHeaderSize;
  for (uint32_t& pixel : image.pixels) {
    pixel = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
            uint32_t{bytes[3]} << 24;
    bytes += 4;
  }
  if (!image.isValid()) return std::nullopt;
  return image;
}

}  // namespace veltra
