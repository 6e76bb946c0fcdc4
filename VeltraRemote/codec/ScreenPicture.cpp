#include "codec/ScreenPicture.h"

#include <algorithm>

namespace veltra {

void ScreenPicture::setDamage(std::span<const PictureRect> rectangles) {
  damage_.clear();
  for (const PictureRect& rectangle : rectangles) {
    const int left = std::max(rectangle.x, 0), top = std::max(rectangle.y, 0);
    const int right = std::min(rectangle.x + rectangle.width, width_);
    const int bottom = std::min(rectangle.y + rectangle.height, height_);
    if (right > left && bottom > top) damage_.push_back({left, top, right - left, bottom - top});
  }
  if (damage_.size() <= kMaximumDamage) return;
  PictureRect bounds = damage_.front();
  for (const PictureRect& rectangle : damage_) {
    const int right = std::max(bounds.x + bounds.width, rectangle.x + rectangle.width);
    const int bottom = std::max(bounds.y + bounds.height, rectangle.y + rectangle.height);
    bounds.x = std::min(bounds.x, rectangle.x);
    bounds.y = std::min(bounds.y, rectangle.y);
    bounds.width = right - bounds.x;
    bounds.height = bottom - bounds.y;
  }
  damage_.assign(1, bounds);
}

}  // namespace veltra
