#pragma once

#include <cstdint>

namespace veltra {

// An opaque sRGB colour, 8 bits a channel.
struct PaletteColor {
  std::uint8_t red;
  std::uint8_t green;
  std::uint8_t blue;

  // Components in 0...1, as colour APIs take them.
  constexpr double redComponent() const { return red / 255.0; }
  constexpr double greenComponent() const { return green / 255.0; }
  constexpr double blueComponent() const { return blue / 255.0; }
  constexpr double opacity() const { return 1.0; }

  friend constexpr bool operator==(PaletteColor, PaletteColor) = default;
};

// The one dark palette both applications draw themselves in. Roles are mapped onto it by each
// application's own theme.
struct VeltraPalette {
  static constexpr PaletteColor background{24, 25, 26};
  static constexpr PaletteColor editor{16, 17, 18};
  static constexpr PaletteColor surface{25, 26, 27};
  static constexpr PaletteColor elevated{34, 35, 36};
  static constexpr PaletteColor border{42, 44, 46};
  static constexpr PaletteColor text{203, 205, 207};
  static constexpr PaletteColor muted{133, 136, 139};
  static constexpr PaletteColor accent{40, 124, 158};
};

}  // namespace veltra
