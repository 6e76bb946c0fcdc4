#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/x11/DesktopSession.h"
#include "x11_test_support.h"

namespace veltra {
namespace {

namespace fs = std::filesystem;

TEST(DesktopSessionTest, PicksTheFirstInstalledDesktopInTheUsersOrder) {
  TempDirectory scratch;
  const std::string bin = scratch.path().string();
  EXPECT_EQ(resolveSessionChoice("", bin), "");
  writeExecutable(scratch.path() / "x-terminal-emulator", "#!/bin/sh\n");
  EXPECT_EQ(resolveSessionChoice("", bin), "x-terminal-emulator");
  writeExecutable(scratch.path() / "openbox-session", "#!/bin/sh\n");
  writeExecutable(scratch.path() / "startlxqt", "#!/bin/sh\n");
  EXPECT_EQ(resolveSessionChoice(" ", bin), "startlxqt");
  // An alternative whose target was removed is not installed.
  fs::create_symlink(scratch.path() / "gone", scratch.path() / "x-session-manager");
  EXPECT_EQ(resolveSessionChoice("", bin), "startlxqt");

  EXPECT_EQ(resolveSessionChoice("none", bin), "");
  EXPECT_EQ(resolveSessionChoice("xterm -e top", bin), "xterm -e top");
}

}  // namespace
}  // namespace veltra
