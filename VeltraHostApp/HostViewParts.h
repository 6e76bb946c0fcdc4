#pragma once

// Helpers that the host window's section files share (HostView.cpp and Host*Section.cpp, and
// HostAddressPanel.cpp). Private to the host application's view. GUI thread only.

#include <QFrame>
#include <QLabel>
#include <QString>
#include <string>

#include "qt/VeltraPalette.h"

namespace veltra::host_view {

inline constexpr char kAutomaticSession[] = "Automatic: first desktop installed";
inline constexpr char kEmptyDisplay[] = "none (empty display)";

inline QString q(const std::string& text) {
  return QString::fromStdString(text);
}

QLabel* imageLabel(const QString& image, PaletteColor color, int size);
// Paints the widget's background in `color`.
void fill(QWidget* widget, PaletteColor color);
// A one-pixel line in the border colour.
QFrame* rule(Qt::Orientation orientation);
// Every clipboard the system has: the clipboard itself and, on X11, the primary selection.
void putOnClipboard(const QString& text);

}  // namespace veltra::host_view
