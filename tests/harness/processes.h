#pragma once

// Running programs as a user does, for the tests that watch them from outside: a process with
// its output collected, and what /proc tells about it and its children. "harness/processes.h".

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"

extern char** environ;

namespace veltra::test {

// A pipe whose ends close with it.
struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == 0) {
      read = ends[0];
      write = ends[1];
    }
  }
  ~Pipe() {
    close(read);
    close(write);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  static void close(int& end) {
    if (end >= 0) ::close(end);
    end = -1;
  }
};

// One run of a program with its standard input given up front and its output collected. The
// process is always ended and reaped by the destructor: politely first, so that a host still
// running takes its display servers down with it.
class Program {
 public:
  // `environment` entries (NAME=value) replace or add to this process's own environment.
  Program(const std::string& path, const std::vector<std::string>& arguments,
          const std::string& input = {}, const std::vector<std::string>& environment = {}) {
    // Written before the program starts and then closed, so the test can neither block nor take
    // a SIGPIPE on it; the pipe holds far more than a key.
    Pipe in;
    if (!input.empty() &&
        ::write(in.write, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
      return;
    }
    Pipe::close(in.write);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read, 0);
    posix_spawn_file_actions_adddup2(&actions, out_.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err_.write, 2);
    // Signals the test runner happens to ignore or block must not reach into the program.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    for (int number : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, number);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> variables = environment;
    for (char** entry = environ; *entry; ++entry) {
      const std::string variable = *entry;
      const std::string name = variable.substr(0, variable.find('=') + 1);
      bool replaced = false;
      for (const std::string& given : environment) replaced = replaced || given.starts_with(name);
      if (!replaced) variables.push_back(variable);
    }
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    if (::posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv.data(), envp.data()) != 0) {
      pid_ = 0;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    Pipe::close(out_.write);
    Pipe::close(err_.write);
  }

  ~Program() {
    if (!running()) return;
    ::kill(pid_, SIGTERM);
    if (!waitForExit(10s)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool started() const { return pid_ > 0; }
  bool running() const { return pid_ > 0 && !exitCode_; }
  pid_t pid() const { return pid_; }
  void signal(int number) const {
    if (running()) ::kill(pid_, number);
  }

  // Standard output line by line, as read so far.
  const std::vector<std::string>& lines() const { return lines_; }
  const std::string& errors() const { return errors_; }

  // Reads until a line satisfies `matches`, the output ends or the patience runs out.
  std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& matches) {
    const auto deadline = Clock::now() + kPatience;
    size_t checked = 0;
    for (;;) {
      for (; checked < lines_.size(); ++checked) {
        if (matches(lines_[checked])) return lines_[checked];
      }
      if (Clock::now() > deadline || outputEnded()) return std::nullopt;
      readFor(50ms);
    }
  }
  std::optional<std::string> waitForLine(const std::string& line) {
    return waitForLine([&](const std::string& candidate) { return candidate == line; });
  }

  // The exit code (128 + N for signal N), or nothing if the program is still running after
  // `patience`. Keeps reading meanwhile so that a chatty program cannot block on a full pipe.
  std::optional<int> waitForExit(Clock::duration patience = kPatience) {
    const auto deadline = Clock::now() + patience;
    while (running()) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (Clock::now() > deadline) return std::nullopt;
      if (outputEnded()) std::this_thread::sleep_for(5ms);
      readFor(20ms);  // at once when the output has ended
    }
    // What it wrote is all in the pipes by now, though something it started may still hold
    // their write ends open.
    while (readFor(0ms)) {
    }
    return exitCode_;
  }

 private:
  bool outputEnded() const { return out_.read < 0 && err_.read < 0; }

  // Reads what arrives within `timeout`; whether anything did (bytes or the end of a pipe).
  bool readFor(std::chrono::milliseconds timeout) {
    if (outputEnded()) return false;
    pollfd fds[2] = {{out_.read, POLLIN, 0}, {err_.read, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(timeout.count())) <= 0) return false;
    char buffer[4096];
    for (int index : {0, 1}) {
      if (!fds[index].revents) continue;
      Pipe& pipe = index == 0 ? out_ : err_;
      const ssize_t size = ::read(pipe.read, buffer, sizeof buffer);
      if (size > 0)
        (index == 0 ? pendingLine_ : errors_).append(buffer, static_cast<size_t>(size));
      else
        Pipe::close(pipe.read);
    }
    for (size_t end; (end = pendingLine_.find('\n')) != std::string::npos;) {
      lines_.push_back(pendingLine_.substr(0, end));
      pendingLine_.erase(0, end + 1);
    }
    return true;
  }

  Pipe out_;
  Pipe err_;
  pid_t pid_ = 0;
  std::optional<int> exitCode_;
  std::vector<std::string> lines_;
  std::string pendingLine_;
  std::string errors_;
};

inline std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// A process as /proc shows it; the start time tells it apart from a later one with its pid.
struct ProcessRecord {
  pid_t pid = 0;
  std::string name;
  pid_t parent = 0;
  char state = 0;
  unsigned long long startTime = 0;
  std::vector<std::string> arguments;
};

inline std::optional<ProcessRecord> readProcess(pid_t pid) {
  const fs::path directory = fs::path("/proc") / std::to_string(pid);
  std::string stat;
  if (!std::getline(std::ifstream(directory / "stat"), stat)) return std::nullopt;
  // pid (comm) state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
  // cutime cstime priority nice threads itrealvalue starttime ...
  const size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return std::nullopt;
  ProcessRecord record;
  record.pid = pid;
  record.name = stat.substr(open + 1, close - open - 1);
  std::istringstream fields(stat.substr(close + 2));
  fields >> record.state >> record.parent;
  std::string skipped;
  for (int field = 5; field < 22; ++field) fields >> skipped;
  fields >> record.startTime;

  std::ifstream commandLine(directory / "cmdline", std::ios::binary);
  for (std::string argument; std::getline(commandLine, argument, '\0');) {
    record.arguments.push_back(argument);
  }
  return record;
}

inline std::vector<ProcessRecord> childrenOf(pid_t parent) {
  std::vector<ProcessRecord> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    auto record = readProcess(std::stoi(name));
    if (record && record->parent == parent) children.push_back(*record);
  }
  return children;
}

// Still running: the same process (not a later one with its pid) and not merely awaiting reaping.
inline bool stillRunning(const ProcessRecord& process) {
  auto now = readProcess(process.pid);
  return now && now->startTime == process.startTime && now->state != 'Z';
}

// This process's children called `name` (at most 15 characters, as /proc shows it) still running.
inline std::vector<ProcessRecord> runningChildrenNamed(const std::string& name,
                                                       pid_t parent = ::getpid()) {
  std::vector<ProcessRecord> found;
  for (const ProcessRecord& child : childrenOf(parent)) {
    if (child.name == name && child.state != 'Z') found.push_back(child);
  }
  return found;
}

inline bool processRuns(pid_t pid) {
  const auto record = pid > 0 ? readProcess(pid) : std::nullopt;
  return record && record->state != 'Z';
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
    if (waitUntil([&] { return std::filesystem::exists(folder / name); }) &&
        std::ifstream(folder / name) >> pid) {
      pids.push_back(pid);
    }
  }
  return pids;
}

// Whether all of `pids` have ended within `patience`.
inline bool allEnd(const std::vector<pid_t>& pids, Clock::duration patience) {
  return waitUntil([&] { return std::none_of(pids.begin(), pids.end(), processRuns); }, patience);
}

}  // namespace veltra::test
