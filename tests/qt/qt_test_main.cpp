#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// Widget tests need an application object; without an X display (plain CI shells), offscreen.
int main(int argc, char** argv) {
  if (std::getenv("DISPLAY") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
