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

#include "harness/harness.h"

namespace veltra {

// Whether Xvfb can be started here; the X11 tests skip without it (the set-up script installs it).
inline bool xvfbInstalled() {
  const char* path = std::getenv("PATH");
  std::istringstream directories(path ? path : "");
  std::string directory;
  while (std::getline(directories, directory, ':')) {
    if (!directory.empty() && ::access((directory + "/Xvfb").c_str(), X_OK) == 0) return true;
  }
  return false;
}

using test::TempDirectory;

inline void writeExecutable(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path) << text;
  ::chmod(path.c_str(), 0755);
}

// The Xvfb processes this test process started that are still running (not yet ended).
inline std::vector<pid_t> runningXvfbChildren() {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    // pid (comm) state ppid ...
    const auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    if (line.substr(open + 1, close - open - 1) != "Xvfb") continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == ::getpid() && state != 'Z') found.push_back(std::atoi(name.c_str()));
  }
  return found;
}

// Whether `pid` runs: it exists and is not a zombie awaiting its parent.
inline bool processRuns(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (pid <= 0 || !std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
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
