#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
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

// The Xvfb processes this test process started that are still running (not yet ended).
inline std::vector<pid_t> runningXvfbChildren() {
  std::vector<pid_t> found;
  for (const auto& child : test::runningChildrenNamed("Xvfb")) found.push_back(child.pid);
  return found;
}

// Shell text that leaves two processes outside the session's process group, as desktop sessions
// do: one detached with setsid and one double-forked. Each writes its pid into `folder`.
inline std::string escapingProcesses(const std::filesystem::path& folder) {
  auto writePid = [&](const std::string& name) {
    const std::string file = (folder / name).string();
    return "sh -c 'echo $$ > " + file + ".new && mv " + file + ".new " + file +
           " && exec sleep 600'";
  };
  return "setsid -f " + writePid("detached") + "; (" + writePid("forked") + " &); ";
}

// The pids escapingProcesses() wrote, once both are there (fewer on a timeout).
inline std::vector<pid_t> escapedPids(const std::filesystem::path& folder) {
  std::vector<pid_t> pids;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (const char* name : {"detached", "forked"}) {
    while (!std::filesystem::exists(folder / name) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream file(folder / name);
    pid_t pid = 0;
    if (file >> pid) pids.push_back(pid);
  }
  return pids;
}

// Whether all of `pids` have ended within `patience`.
inline bool allEnd(const std::vector<pid_t>& pids, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  auto anyRuns = [&] { return std::any_of(pids.begin(), pids.end(), processRuns); };
  while (anyRuns() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return !anyRuns();
}

// The newest Xvfb process started by this test process, or 0.
inline pid_t newestXvfbChild() {
  const std::vector<pid_t> running = runningXvfbChildren();
  return running.empty() ? 0 : *std::max_element(running.begin(), running.end());
}

}  // namespace veltra
