#pragma once

#include "qt/VeltraPalette.h"

class QApplication;

namespace veltra {

// The host window's roles on the shared palette.
struct HostTheme {
  static constexpr PaletteColor sidebar = VeltraPalette::surface;
  static constexpr PaletteColor canvas = VeltraPalette::editor;
  static constexpr PaletteColor toolbar = VeltraPalette::background;
  static constexpr PaletteColor border = VeltraPalette::border;
  static constexpr PaletteColor text = VeltraPalette::text;
  static constexpr PaletteColor muted = VeltraPalette::muted;
  static constexpr PaletteColor blue = VeltraPalette::accent;
  // "Connected", "Allowed" and the client badge. The palette has no green; this is the system
  // green of a dark desktop appearance, which the desktops leave to each application here.
  static constexpr PaletteColor green{48, 209, 88};
};

// Dark for every widget the window does not colour itself (buttons, fields, menus, the save
// dialog): Fusion with a palette built from the theme, whatever the desktop's own style is.
// GUI thread, before the first window is shown.
void applyHostAppearance(QApplication& application);

}  // namespace veltra
