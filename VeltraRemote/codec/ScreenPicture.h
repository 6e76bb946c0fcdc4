#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace veltra {

// A rectangle of a picture, in its pixels.
struct PictureRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  bool empty() const { return width <= 0 || height <= 0; }
  friend bool operator==(const PictureRect&, const PictureRect&) = default;
};

enum class PixelFormat {
  nv12,  // a Y plane, then a plane of interleaved U and V at half the width and height
};

// One captured picture, as the screen source hands it to the encoder: its planes, the buffer
// they live in (shared: copies never copy pixels, and the buffer goes back where it came from
// when the last copy goes), and what changed since the source's previous picture. FFmpeg stays
// out of it; the codec wraps it for the encoder without copying (VideoPicture::wrap).
//
// The source writes the planes and the damage before it hands the picture on; from then on
// nobody writes either.
//
// THREADING: a value. Copies may be used and destroyed on different threads at once; one copy
// is not to be shared between threads.
class ScreenPicture {
 public:
  // Beyond this many rectangles the damage is reported as their bounding box.
  static constexpr size_t kMaximumDamage = 16;

  struct Plane {
    uint8_t* data = nullptr;
    int stride = 0;  // bytes from one row to the next
  };

  ScreenPicture() = default;
  // `buffer` owns the memory that the planes point into; the picture keeps it alive.
  ScreenPicture(int width, int height, PixelFormat format, std::array<Plane, 2> planes,
                std::shared_ptr<void> buffer)
      : width_(width),
        height_(height),
        format_(format),
        planes_(planes),
        buffer_(std::move(buffer)) {}

  int width() const { return width_; }
  int height() const { return height_; }
  PixelFormat format() const { return format_; }
  const Plane& plane(int index) const { return planes_.at(static_cast<size_t>(index)); }

  // The rectangles that may differ from the source's previous picture, none overlapping the
  // outside of the picture.
  const std::vector<PictureRect>& damage() const { return damage_; }
  // Clips `rectangles` to the picture and drops the empty ones; more than kMaximumDamage become
  // their bounding box.
  void setDamage(std::span<const PictureRect> rectangles);

  explicit operator bool() const { return buffer_ != nullptr; }

 private:
  int width_ = 0;
  int height_ = 0;
  PixelFormat format_ = PixelFormat::nv12;
  std::array<Plane, 2> planes_{};
  std::shared_ptr<void> buffer_;
  std::vector<PictureRect> damage_;
};

}  // namespace veltra
