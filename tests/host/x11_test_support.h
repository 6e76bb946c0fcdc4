#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "harness/xvfb.h"

namespace veltra {

using test::processRuns;
using test::TempDirectory;
using test::xvfbInstalled;

inline void writeExecutable(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path) << text;
  ::chmod(path.c_str(), 0755);
}

inline std::vector<pid_t> runningXvfbChildren() {
  std::vector<pid_t> found;
  for (const auto& child : test::runningChildrenNamed("Xvfb")) found.push_back(child.pid);
  return found;
}

}  // namespace veltra
