#include "HostTheme.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

#include "qt/PaletteColors.h"

namespace veltra {

void applyHostAppearance(QApplication& application) {
  application.setStyle(QStyleFactory::create("Fusion"));
  QPalette palette;
  const QColor text = toQColor(HostTheme::text);
  const QColor muted = toQColor(HostTheme::muted);
  palette.setColor(QPalette::Window, toQColor(VeltraPalette::background));
  palette.setColor(QPalette::WindowText, text);
  palette.setColor(QPalette::Base, toQColor(VeltraPalette::editor));
  palette.setColor(QPalette::AlternateBase, toQColor(VeltraPalette::surface));
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::PlaceholderText, muted);
  palette.setColor(QPalette::Button, toQColor(VeltraPalette::elevated));
  palette.setColor(QPalette::ButtonText, text);
  palette.setColor(QPalette::Highlight, toQColor(HostTheme::blue));
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::ToolTipBase, toQColor(VeltraPalette::elevated));
  palette.setColor(QPalette::ToolTipText, text);
  palette.setColor(QPalette::Light, toQColor(VeltraPalette::elevated));
  palette.setColor(QPalette::Mid, toQColor(HostTheme::border));
  palette.setColor(QPalette::Dark, toQColor(VeltraPalette::editor));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    palette.setColor(QPalette::Disabled, role, muted.darker(130));
  }
  palette.setColor(QPalette::Disabled, QPalette::Button, toQColor(VeltraPalette::surface));
  application.setPalette(palette);
}

}  // namespace veltra
