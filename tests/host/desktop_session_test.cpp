// What runs inside a virtual display: which desktop is picked, and the login it gets.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

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

TEST(DesktopSessionTest, TheLoginKeepsTheUsersSettingsAndNothingOfTheHostsDesktop) {
  const std::vector<std::string> host = {"HOME=/home/u",
                                         "LC_TIME=C",
                                         "DISPLAY=:0",
                                         "XAUTHORITY=/run/user/1/xauth",
                                         "GDK_BACKEND=wayland",
                                         "XDG_SESSION_TYPE=wayland",
                                         "XDG_RUNTIME_DIR=/run/user/1",
                                         "LC_X"};
  const std::vector<std::string> expected = {
      "HOME=/home/u", "LC_TIME=C", "XDG_RUNTIME_DIR=/run/user/1", "XAUTHORITY=/tmp/d/Xauthority",
      "XDG_SESSION_TYPE=x11"};
  EXPECT_EQ(loginEnvironment(host, "/tmp/d/Xauthority"), expected);
}

}  // namespace
}  // namespace veltra
