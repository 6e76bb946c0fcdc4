#pragma once

#include <sys/stat.h>

#include <algorithm>
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

// The Xvfb processes this test process started that are still running.
inline std::vector<pid_t> runningXvfbChildren() {
  std::vector<pid_t> found;
  for (const auto& child : test::runningChildrenNamed("Xvfb")) found.push_back(child.pid);
  return found;
}

// The newest Xvfb process started by this test process, or 0.
inline pid_t newestXvfbChild() {
  const std::vector<pid_t> running = runningXvfbChildren();
  return running.empty() ? 0 : *std::max_element(running.begin(), running.end());
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

// The pids escapingProcesses() wrote, once both are there (fewer if they never come).
inline std::vector<pid_t> escapedPids(const std::filesystem::path& folder) {
  std::vector<pid_t> pids;
  for (const char* name : {"detached", "forked"}) {
    pid_t pid = 0;
    if (test::waitUntil([&] { return std::filesystem::exists(folder / name); }) &&
        std::ifstream(folder / name) >> pid) {
      pids.push_back(pid);
    }
  }
  return pids;
}

// Whether all of `pids` have ended within `patience`.
inline bool allEnd(const std::vector<pid_t>& pids, test::Clock::duration patience) {
  return test::waitUntil([&] { return std::none_of(pids.begin(), pids.end(), processRuns); },
                         patience);
}

}  // namespace veltra
