#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>

namespace veltra {

// A system image of the window ("desktopcomputer", "network", "lock.shield", "sidebar.left",
// "arrow.clockwise") in one colour, `size` pixels square: the desktop icon theme's symbolic icon
// when it has one, else our own drawing of it. GUI thread.
QPixmap systemImage(const QString& name, QColor color, int size);

}  // namespace veltra
