#include "RemoteStatisticsOverlay.h"

#include <QPainter>
#include <algorithm>
#include <array>

#include "client/RemoteClient.h"
#include "qt/PaletteColors.h"

namespace veltra {
namespace {

constexpr std::array<const char*, 6> kLabels{"Decoded",  "Displayed", "Round trip",
                                             "Bit rate", "Encoder",   "Decoder"};
// Padding inside the box, the gap between the columns and the box's distance from the corner.
constexpr int kPadding = 10;
constexpr int kGap = 14;
constexpr int kMargin = 16;
// Translucent enough to read the picture through, dark enough to read the figures on white.
constexpr int kBackgroundAlpha = 208;

QString orDash(const std::string& name) {
  return name.empty() ? QStringLiteral("–") : QString::fromStdString(name);
}

}  // namespace

RemoteStatisticsOverlay::RemoteStatisticsOverlay(const RemoteClient& client, QWidget* parent)
    : QWidget(parent), client_(client) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setFocusPolicy(Qt::NoFocus);
  hide();
  sync();
}

void RemoteStatisticsOverlay::sync() {
  const QStringList values{
      QStringLiteral("%1 fps").arg(client_.decodedFPS()),
      QStringLiteral("%1 fps").arg(client_.displayedFPS()),
      QString::fromStdString(roundTripText(client_.rttMilliseconds())),
      QStringLiteral("%1 Mbit/s").arg(static_cast<double>(client_.videoBitRate()) / 1e6, 0, 'f', 1),
      orDash(client_.hostEncoder()),
      orDash(client_.decoderName()),
  };
  if (values == values_) return;
  values_ = values;

  const QFontMetrics metrics = fontMetrics();
  int labelWidth = 0, valueWidth = 0;
  for (size_t row = 0; row < kLabels.size(); ++row) {
    labelWidth = std::max(labelWidth, metrics.horizontalAdvance(kLabels[row]));
    valueWidth = std::max(valueWidth, metrics.horizontalAdvance(values_[int(row)]));
  }
  valueColumn_ = kPadding + labelWidth + kGap;
  resize(valueColumn_ + valueWidth + kPadding,
         2 * kPadding + int(kLabels.size()) * metrics.lineSpacing());
  update();
}

void RemoteStatisticsOverlay::place(const QRect& picture) {
  move(picture.x() + picture.width() - width() - kMargin, picture.y() + kMargin);
}

QString RemoteStatisticsOverlay::text() const {
  QStringList rows;
  for (size_t row = 0; row < kLabels.size(); ++row) {
    rows << QStringLiteral("%1: %2").arg(kLabels[row], values_[int(row)]);
  }
  return rows.join('\n');
}

void RemoteStatisticsOverlay::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  QColor background = toQColor(VeltraPalette::editor);
  background.setAlpha(kBackgroundAlpha);
  painter.setBrush(background);
  painter.drawRoundedRect(rect(), 6, 6);

  const QFontMetrics metrics = fontMetrics();
  for (size_t row = 0; row < kLabels.size(); ++row) {
    const int baseline = kPadding + int(row) * metrics.lineSpacing() + metrics.ascent();
    painter.setPen(toQColor(VeltraPalette::muted));
    painter.drawText(kPadding, baseline, kLabels[row]);
    painter.setPen(toQColor(VeltraPalette::text));
    painter.drawText(valueColumn_, baseline, values_[int(row)]);
  }
}

}  // namespace veltra
