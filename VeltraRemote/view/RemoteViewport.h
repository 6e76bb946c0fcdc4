#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <optional>

namespace veltra {

// Where the picture lies in the view, in the view's logical pixels (top-left origin, y down), and
// the way back from a pointer position to a fraction of the picture. Pure arithmetic, any thread.
struct RemoteViewport {
  QRectF rect;

  // The viewport of a picture of `picture` pixels in a view of `bounds` logical pixels: the same
  // fit the renderer draws with, so a click lands where the user sees it.
  static RemoteViewport fitted(QSizeF picture, QSizeF bounds);

  // (0, 0) is the picture's top-left corner, (1, 1) its bottom-right. Nothing for an empty
  // viewport or a non-finite point; a point off the picture gives nothing, or with `clamp` the
  // nearest point of its edge.
  std::optional<QPointF> normalized(QPointF point, bool clamp) const;
};

}  // namespace veltra
