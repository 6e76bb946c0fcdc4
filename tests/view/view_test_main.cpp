#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <filesystem>

#include "harness/xvfb.h"

// The view draws with OpenGL: each run starts its own Xvfb and draws with Mesa's software
// rasteriser on it, whatever display the caller has (CI has none).

// Only third-party code: libdbus and Mesa's software driver keep a few blocks to the end.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\nleak:swrast_dri.so\n";
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  veltra::test::XvfbServer xvfb;
  if (xvfb.display().empty()) {
    std::fprintf(stderr, "cannot start Xvfb (the set-up script installs it): %s\n",
                 xvfb.errors().c_str());
    return 1;
  }
  setenv("DISPLAY", xvfb.display().c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
  // Mesa unloads its driver when the display closes, before LeakSanitizer looks, and what it left
  // would be reported against an unknown module; kept loaded, the suppression above names it.
  for (const char* folder : {"/usr/lib/x86_64-linux-gnu/dri", "/usr/lib/aarch64-linux-gnu/dri",
                             "/usr/lib64/dri", "/usr/lib/dri"}) {
    const std::string driver = std::string(folder) + "/swrast_dri.so";
    if (std::filesystem::exists(driver) && ::dlopen(driver.c_str(), RTLD_LAZY | RTLD_NODELETE)) {
      break;
    }
  }
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
