#pragma once

// Moving NV12 pictures for encoder measurements, in two scenes:
//  - desktop: a gradient wallpaper, a document window whose text scrolls 4 rows of pixels per
//    picture, and a video window (evolving waves with a little grain, so no picture repeats the
//    last) dragged back and forth across the screen;
//  - video: the same waves and grain over the whole screen, panning 16 px per picture: a
//    full-screen video, the hardest thing a desktop stream carries.
// Every motion repeats after kPeriod pictures, so a ring of kPeriod pictures plays as one
// seamless loop (no scene cut at the wrap).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace veltra::bench {

class SyntheticDesktop {
 public:
  static constexpr int kPeriod = 60;
  enum class Scene { desktop, video };

  SyntheticDesktop(int width, int height, Scene scene = Scene::desktop)
      : width_(width), height_(height), scene_(scene) {}

  // Fills one picture: `y` with stride `yStride`, interleaved CbCr `uv` with stride `uvStride`.
  void draw(int index, uint8_t* y, int yStride, uint8_t* uv, int uvStride) const {
    const int t = ((index % kPeriod) + kPeriod) % kPeriod;
    if (scene_ == Scene::video) return drawVideo(t, y, yStride, uv, uvStride);
    const Rect document = documentRect();
    Rect photo = photoRect();
    // Triangle wave: right for half the period, back for the other half.
    const int travel = width_ / 4;
    const int phase = t < kPeriod / 2 ? t : kPeriod - t;
    photo.x += travel * phase / (kPeriod / 2);
    const int scroll = 4 * t;  // 4 px per picture; 240 px = 12 text lines per period

    for (int row = 0; row < height_; ++row) {
      uint8_t* line = y + static_cast<size_t>(row) * yStride;
      for (int col = 0; col < width_; ++col) {
        uint8_t value = static_cast<uint8_t>(40 + 120 * (col + row) / (width_ + height_));
        if (photo.contains(col, row)) {
          value = videoLuma(col - photo.x, row - photo.y, t);
        } else if (document.contains(col, row)) {
          value = documentLuma(col - document.x, row - document.y + scroll);
        }
        line[col] = value;
      }
    }
    for (int row = 0; row < height_ / 2; ++row) {
      uint8_t* line = uv + static_cast<size_t>(row) * uvStride;
      for (int col = 0; col < width_ / 2; ++col) {
        const int px = col * 2, py = row * 2;
        uint8_t cb = static_cast<uint8_t>(150 - 40 * px / width_);
        uint8_t cr = static_cast<uint8_t>(110 + 30 * py / height_);
        if (photo.contains(px, py)) {
          cb = static_cast<uint8_t>(128 + 60 * std::sin((px - photo.x) * 0.02));
          cr = static_cast<uint8_t>(128 + 60 * std::cos((py - photo.y) * 0.03));
        } else if (document.contains(px, py)) {
          cb = cr = 128;
        }
        line[2 * col] = cb;
        line[2 * col + 1] = cr;
      }
    }
  }

 private:
  void drawVideo(int t, uint8_t* y, int yStride, uint8_t* uv, int uvStride) const {
    const int pan = 16 * (t < kPeriod / 2 ? t : kPeriod - t);
    for (int row = 0; row < height_; ++row) {
      uint8_t* line = y + static_cast<size_t>(row) * yStride;
      for (int col = 0; col < width_; ++col) line[col] = videoLuma(col + pan, row, t);
    }
    for (int row = 0; row < height_ / 2; ++row) {
      uint8_t* line = uv + static_cast<size_t>(row) * uvStride;
      for (int col = 0; col < width_ / 2; ++col) {
        const int px = col * 2 + pan;
        line[2 * col] = static_cast<uint8_t>(128 + 50 * std::sin(px * 0.01 + row * 0.004));
        line[2 * col + 1] = static_cast<uint8_t>(128 + 40 * std::cos(row * 0.013 - px * 0.002));
      }
    }
  }

  struct Rect {
    int x, y, w, h;
    bool contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
  };

  Rect documentRect() const {
    return {width_ / 12, height_ / 10, width_ * 9 / 20, height_ * 3 / 4};
  }
  Rect photoRect() const { return {width_ / 2, height_ / 3, width_ * 3 / 10, height_ * 3 / 10}; }

  // Dark glyph strokes on white: 10 × 20 px cells, each glyph a hash-chosen 6 × 12 bitmap. Text
  // lines repeat every 12 lines so that the scroll loops with the period.
  static uint8_t documentLuma(int x, int yScrolled) {
    const int line = (yScrolled / 20) % 12;
    const int inLine = yScrolled % 20;
    const int cell = x / 10, inCell = x % 10;
    if (x < 16 || inLine < 4 || inLine >= 16 || inCell < 2 || inCell >= 8) return 235;
    // Ragged line ends, like real paragraphs.
    if (cell > 40 + static_cast<int>(hash(line, 999) % 30)) return 235;
    if (hash(line, cell) % 7 == 0) return 235;  // word gaps
    const uint32_t glyph = hash(line, cell);
    const int bit = (inLine - 4) / 2 * 6 + (inCell - 2);
    return (glyph >> (bit % 32)) & 1 ? 30 : 235;
  }

  static uint8_t videoLuma(int x, int y, int t) {
    constexpr double kTurn = 2 * 3.14159265358979 / kPeriod;
    const double v = 128 +
                     45 * std::sin(x * 0.031 + t * kTurn) * std::cos(y * 0.027 - 2 * t * kTurn) +
                     30 * std::sin((x + y) * 0.11 + 3 * t * kTurn) +
                     static_cast<int>(hash(x * 7919 + y, t) % 7) - 3;
    return static_cast<uint8_t>(std::clamp(v, 16.0, 235.0));
  }

  static uint32_t hash(int a, int b) {
    uint32_t h = static_cast<uint32_t>(a) * 2654435761u ^ static_cast<uint32_t>(b) * 40503u;
    h ^= h >> 15;
    h *= 2246822519u;
    h ^= h >> 13;
    return h;
  }

  int width_;
  int height_;
  Scene scene_;
};

}  // namespace veltra::bench
