#include "HostWidgets.h"

#include <QFocusEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "HostIcons.h"
#include "HostTheme.h"
#include "qt/PaletteColors.h"

namespace veltra {
namespace {

QColor withOpacity(PaletteColor color, double opacity) {
  QColor result = toQColor(color);
  result.setAlphaF(static_cast<float>(opacity));
  return result;
}

QFont sized(QFont font, int pixelSize, QFont::Weight weight) {
  if (pixelSize > 0) font.setPixelSize(pixelSize);
  font.setWeight(weight);
  return font;
}

}  // namespace

void setTextColor(QWidget* widget, PaletteColor color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, toQColor(color));
  palette.setColor(QPalette::Text, toQColor(color));
  widget->setPalette(palette);
}

PaletteColor textColor(const QWidget* widget) {
  const QColor color = widget->palette().color(QPalette::WindowText);
  return {static_cast<uint8_t>(color.red()), static_cast<uint8_t>(color.green()),
          static_cast<uint8_t>(color.blue())};
}

QLabel* makeText(const QString& text, PaletteColor color, int pixelSize, QFont::Weight weight,
                 bool wrap) {
  auto* label = new QLabel(text);
  label->setFont(sized(label->font(), pixelSize, weight));
  label->setWordWrap(wrap);
  setTextColor(label, color);
  return label;
}

Badge::Badge(QWidget* parent) : QLabel(parent) {
  setFont(sized(font(), 10, QFont::DemiBold));
  setAlignment(Qt::AlignCenter);
}

void Badge::set(const QString& text, PaletteColor color) {
  setTextColor(this, color);
  setText(text);
  updateGeometry();
}

QSize Badge::sizeHint() const {
  const QFontMetrics metrics(font());
  return {metrics.horizontalAdvance(text()) + 14, metrics.height() + 6};
}

void Badge::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QColor color = palette().color(QPalette::WindowText);
  QColor fill = color;
  fill.setAlphaF(0.13f);
  const QRectF capsule = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  painter.setPen(Qt::NoPen);
  painter.setBrush(fill);
  painter.drawRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
  painter.setPen(color);
  painter.drawText(rect(), Qt::AlignCenter, text());
}

Panel::Panel(const QString& title, QWidget* parent) : QFrame(parent), title_(title) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->setSpacing(10);
  layout->addWidget(makeText(title, HostTheme::muted, 12, QFont::DemiBold));
  content_ = new QVBoxLayout;
  content_->setSpacing(8);
  layout->addLayout(content_);
  setAccessibleName(title);
}

void Panel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(toQColor(HostTheme::border), 1));
  painter.setBrush(toQColor(VeltraPalette::surface));
  painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
}

QLabel* addRow(QVBoxLayout* layout, const QString& label) {
  auto* row = new QHBoxLayout;
  row->setSpacing(0);
  QLabel* name = makeText(label, HostTheme::muted, 0, QFont::Normal, false);
  name->setFixedWidth(140);
  QLabel* value = makeText({}, HostTheme::text, 0, QFont::Normal, false);
  // The label names its value for screen readers and for finding it.
  value->setAccessibleName(label);
  row->addWidget(name);
  row->addWidget(value, 1);
  layout->addLayout(row);
  return value;
}

IconTile::IconTile(QWidget* parent) : QWidget(parent) {
  setFixedSize(52, 52);
}

void IconTile::setImage(const QString& name) {
  image_ = name;
  update();
}

void IconTile::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(withOpacity(HostTheme::blue, 0.12));
  painter.drawRoundedRect(QRectF(rect()), 12, 12);
  painter.drawPixmap(12, 12, systemImage(image_, toQColor(HostTheme::blue), 28));
}

SidebarRow::SidebarRow(const QString& image, const QString& title, QWidget* parent)
    : QAbstractButton(parent), image_(image) {
  setText(title);
  setAccessibleName(title);
  setCursor(Qt::PointingHandCursor);
  // Reached by Tab, not taken by a click: a clicked row shows its selection, not a focus ring.
  setFocusPolicy(Qt::TabFocus);
}

void SidebarRow::setSubtitle(const QString& subtitle) {
  if (subtitle == subtitle_) return;
  subtitle_ = subtitle;
  update();
}

void SidebarRow::setSelected(bool selected) {
  if (selected == selected_) return;
  selected_ = selected;
  update();
}

void SidebarRow::focusInEvent(QFocusEvent* event) {
  keyboardFocus_ =
      event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
  QAbstractButton::focusInEvent(event);
}

QSize SidebarRow::sizeHint() const {
  return {208, QFontMetrics(font()).height() * 2 + 16};
}

void SidebarRow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (selected_) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, qRound(255 * 0.055)));
    painter.drawRoundedRect(QRectF(rect()), 6, 6);
  }
  if (hasFocus() && keyboardFocus_) {
    painter.setPen(QPen(toQColor(HostTheme::blue), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
  }
  const int imageSize = 20;
  const int top = (height() - imageSize) / 2;
  painter.drawPixmap(
      10, top,
      systemImage(image_, toQColor(selected_ ? HostTheme::text : HostTheme::muted), imageSize));
  const int textLeft = 10 + imageSize + 10;
  const QFontMetrics metrics(font());
  const int lineHeight = metrics.height();
  const int textTop = (height() - 2 * lineHeight) / 2;
  QFont titleFont = font();
  titleFont.setWeight(QFont::Medium);
  painter.setFont(titleFont);
  painter.setPen(toQColor(HostTheme::text));
  painter.drawText(QRect(textLeft, textTop, width() - textLeft - 8, lineHeight),
                   Qt::AlignLeft | Qt::AlignVCenter, text());
  QFont subtitleFont = font();
  subtitleFont.setPixelSize(std::max(9, QFontInfo(font()).pixelSize() - 2));
  painter.setFont(subtitleFont);
  painter.setPen(toQColor(HostTheme::muted));
  painter.drawText(QRect(textLeft, textTop + lineHeight, width() - textLeft - 8, lineHeight),
                   Qt::AlignLeft | Qt::AlignVCenter, subtitle_);
}

}  // namespace veltra
