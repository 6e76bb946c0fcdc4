#pragma once

// X servers of the tests' own: Xvfb on a number it picks itself, ended with the fixture.

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "harness/processes.h"

namespace veltra::test {

// The full path of `name` on PATH, or "" when it is not installed.
inline std::string onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream directories(path ? path : "");
  for (std::string directory; std::getline(directories, directory, ':');) {
    const std::string candidate = directory + "/" + name;
    if (!directory.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// Whether Xvfb can be started here; the X11 tests skip without it (the set-up script installs it).
inline bool xvfbInstalled() {
  return !onPath("Xvfb").empty();
}

// One Xvfb of `screen` (WxHxDEPTH), running from construction until destruction. display() is
// ":N", or "" when it did not start (errors() says why).
class XvfbServer {
 public:
  explicit XvfbServer(const std::string& screen = "1280x1024x24")
      : program_(onPath("Xvfb"),
                 {"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"}) {
    const auto number = program_.waitForLine([](const std::string& line) {
      return !line.empty() && line.find_first_not_of("0123456789") == std::string::npos;
    });
    if (number) display_ = ":" + *number;
  }

  const std::string& display() const { return display_; }
  pid_t pid() const { return program_.pid(); }
  const std::string& errors() const { return program_.errors(); }

 private:
  Program program_;
  std::string display_;
};

}  // namespace veltra::test
