#pragma once

#include <QColor>

#include "qt/VeltraPalette.h"

namespace veltra {

inline QColor toQColor(PaletteColor color) {
  return QColor(color.red, color.green, color.blue);
}

}  // namespace veltra
