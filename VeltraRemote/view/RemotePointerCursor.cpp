#include "view/RemotePointerCursor.h"

#include <QImage>
#include <QPixmap>
#include <algorithm>
#include <cmath>

#include "protocol/CursorImage.h"

namespace veltra {

QCursor remotePointerCursor(const CursorImage& image, double scale, qreal devicePixelRatio) {
  // The pixels are premultiplied ARGB words, exactly this format's layout: wrapped, not converted.
  const QImage source(reinterpret_cast<const uchar*>(image.pixels.data()), image.width,
                      image.height, image.width * 4, QImage::Format_ARGB32_Premultiplied);
  const auto pixels = [](double length) { return std::max(1, int(std::lround(length))); };
  const QSize logical(pixels(image.width * scale), pixels(image.height * scale));
  const QSize device(pixels(image.width * scale * devicePixelRatio),
                     pixels(image.height * scale * devicePixelRatio));
  // copy(): the pixmap must not outlive `image` through the wrapped pixels.
  QPixmap pixmap =
      QPixmap::fromImage(device == source.size() ? source.copy()
                                                 : source.scaled(device, Qt::IgnoreAspectRatio,
                                                                 Qt::SmoothTransformation));
  pixmap.setDevicePixelRatio(devicePixelRatio);
  // The logical pixel under the centre of the remote hot spot.
  const auto hot = [&](int remote, int size) {
    return std::clamp(int(std::floor((remote + 0.5) * scale)), 0, size - 1);
  };
  return QCursor(pixmap, hot(image.hotX, logical.width()), hot(image.hotY, logical.height()));
}

}  // namespace veltra
