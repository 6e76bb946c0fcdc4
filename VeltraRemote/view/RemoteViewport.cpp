#include "view/RemoteViewport.h"

#include <algorithm>
#include <cmath>

#include "view/RemoteVideoRenderer.h"

namespace veltra {
namespace {

double unit(double value) {
  if (std::isnan(value)) return 0;
  return std::clamp(value, 0.0, 1.0);
}

}  // namespace

RemoteViewport RemoteViewport::fitted(QSizeF picture, QSizeF bounds) {
  return {RemoteVideoRenderer::fittedRect(picture, bounds)};
}

std::optional<QPointF> RemoteViewport::normalized(QPointF point, bool clamp) const {
  if (rect.isEmpty() || !std::isfinite(point.x()) || !std::isfinite(point.y())) {
    return std::nullopt;
  }
  // Half-open, so the column just right of the picture is already a black bar.
  const bool inside = point.x() >= rect.left() && point.x() < rect.right() &&
                      point.y() >= rect.top() && point.y() < rect.bottom();
  if (!clamp && !inside) return std::nullopt;
  return QPointF(unit((point.x() - rect.left()) / rect.width()),
                 unit((point.y() - rect.top()) / rect.height()));
}

}  // namespace veltra
