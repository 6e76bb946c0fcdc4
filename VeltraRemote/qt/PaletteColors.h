#pragma once

#include <QColor>

#include "support/VeltraPalette.h"

namespace veltra {

inline QColor toQColor(PaletteColor color) {
  return QColor(color.red, color.green, color.blue);
}

}  // namespace veltra
