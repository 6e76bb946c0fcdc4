#include <gtest/gtest.h>

#include "qt/PaletteColors.h"

namespace veltra {
namespace {

TEST(VeltraPaletteTest, ColoursAreTheTablesEightBitValuesExactlyAndOpaque) {
  EXPECT_EQ(VeltraPalette::text.redComponent(), 203 / 255.0);
  EXPECT_EQ(VeltraPalette::text.greenComponent(), 205 / 255.0);
  EXPECT_EQ(VeltraPalette::text.blueComponent(), 207 / 255.0);
  EXPECT_EQ(VeltraPalette::text.opacity(), 1.0);
  const QColor accent = toQColor(VeltraPalette::accent);
  EXPECT_EQ(accent.name(), "#287c9e");
  EXPECT_EQ(accent.alpha(), 255);
  EXPECT_EQ(toQColor(VeltraPalette::background).name(), "#18191a");
  EXPECT_EQ(toQColor(VeltraPalette::editor).name(), "#101112");
  EXPECT_EQ(toQColor(VeltraPalette::surface).name(), "#191a1b");
  EXPECT_EQ(toQColor(VeltraPalette::elevated).name(), "#222324");
  EXPECT_EQ(toQColor(VeltraPalette::border).name(), "#2a2c2e");
  EXPECT_EQ(toQColor(VeltraPalette::muted).name(), "#85888b");
}

}  // namespace
}  // namespace veltra
