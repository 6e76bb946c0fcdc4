#include "HostIcons.h"

#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>

namespace veltra {
namespace {

// The freedesktop names of the images. Only symbolic icons: they are one-coloured shapes that
// take the window's colours the way the images do; full-colour icons would not.
QString themeName(const QString& name) {
  if (name == "desktopcomputer") return "computer-symbolic";
  if (name == "network") return "network-wired-symbolic";
  if (name == "lock.shield") return "security-high-symbolic";
  if (name == "sidebar.left") return "sidebar-show-symbolic";
  if (name == "arrow.clockwise") return "view-refresh-symbolic";
  return {};
}

// Our drawings, on a 24-unit grid.
void draw(QPainter& painter, const QString& name) {
  if (name == "desktopcomputer") {
    painter.drawRoundedRect(QRectF(3, 4, 18, 12), 1.5, 1.5);
    painter.drawLine(QPointF(12, 16), QPointF(12, 19.5));
    painter.drawLine(QPointF(8, 20), QPointF(16, 20));
  } else if (name == "network") {
    painter.drawEllipse(QPointF(12, 12), 8.5, 8.5);
    painter.drawEllipse(QPointF(12, 12), 3.6, 8.5);
    painter.drawLine(QPointF(3.5, 12), QPointF(20.5, 12));
    painter.drawLine(QPointF(5, 7.5), QPointF(19, 7.5));
    painter.drawLine(QPointF(5, 16.5), QPointF(19, 16.5));
  } else if (name == "lock.shield") {
    QPainterPath shield;
    shield.moveTo(12, 2.5);
    shield.lineTo(19.5, 5.5);
    shield.lineTo(19.5, 11);
    shield.cubicTo(19.5, 16, 16, 19.5, 12, 21.5);
    shield.cubicTo(8, 19.5, 4.5, 16, 4.5, 11);
    shield.lineTo(4.5, 5.5);
    shield.closeSubpath();
    painter.drawPath(shield);
    painter.drawRoundedRect(QRectF(9, 11, 6, 5), 0.8, 0.8);
    painter.drawArc(QRectF(10, 7.5, 4, 6), 0, 180 * 16);
  } else if (name == "sidebar.left") {
    painter.drawRoundedRect(QRectF(3, 5, 18, 14), 2, 2);
    painter.drawLine(QPointF(9, 5), QPointF(9, 19));
    painter.drawLine(QPointF(5, 8.5), QPointF(7, 8.5));
    painter.drawLine(QPointF(5, 11), QPointF(7, 11));
  } else if (name == "arrow.clockwise") {
    painter.drawArc(QRectF(5, 5, 14, 14), 70 * 16, 300 * 16);
    QPainterPath head;
    head.moveTo(15.5, 2.5);
    head.lineTo(15.5, 8.5);
    head.lineTo(10, 5.5);
    head.closeSubpath();
    painter.fillPath(head, painter.pen().color());
  }
}

}  // namespace

QPixmap systemImage(const QString& name, QColor color, int size) {
  const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
  QPixmap pixmap(static_cast<int>(size * ratio), static_cast<int>(size * ratio));
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);

  const QIcon themed = QIcon::fromTheme(themeName(name));
  const QPixmap shape = themed.isNull() ? QPixmap() : themed.pixmap(QSize(size, size), ratio);
  if (!shape.isNull()) {
    painter.drawPixmap(QRect(0, 0, size, size), shape);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(QRect(0, 0, size, size), color);
    return pixmap;
  }
  painter.scale(size / 24.0, size / 24.0);
  painter.setPen(QPen(color, 1.7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  draw(painter, name);
  return pixmap;
}

}  // namespace veltra
