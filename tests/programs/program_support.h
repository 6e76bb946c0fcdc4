#pragma once

// The programs as a user runs them: a headless host on a fresh port, a remote connected to it,
// and what the host started for its session.

#include <algorithm>
#include <cstring>

#include "harness/processes.h"

namespace veltra::test {

inline const std::string kTestPattern = "'" + std::string(VELTRA_TEST_PATTERN_PROGRAM) + "'";
inline const std::string kConnected = "Connected · 1920×1080 · target 60 fps";

// Runs `command`: the program, then its arguments.
inline Program run(const std::vector<std::string>& command, const std::string& input = {}) {
  return Program(command.front(), std::vector<std::string>(command.begin() + 1, command.end()),
                 input);
}

inline std::vector<std::string> concat(std::vector<std::string> head,
                                       const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// Whether `line` is the remote's statistics line with pictures decoded ("decoded N fps · …").
inline bool decodedSome(const std::string& line) {
  int rate = 0;
  return std::sscanf(line.c_str(), "decoded %d fps", &rate) == 1 && rate > 0;
}

// A headless host listening on a fresh port, its key read from its first line. `command` runs it
// (setpriv, to run it as another user); `session` is its --session, none if empty; `extra` more
// of its options. With --key-file among them, `key` is "from FILE", as the host says.
struct RunningHost {
  std::string port = std::to_string(freePort());
  Program program;
  std::string key;

  explicit RunningHost(const std::vector<std::string>& command = {},
                       const std::string& session = kTestPattern,
                       const std::vector<std::string>& extra = {})
      : program(run(concat(concat(command, {VELTRA_HOST_PROGRAM, "--headless", "--port", port,
                                            "--session", session.empty() ? "none" : session}),
                           extra))) {
    if (auto line = program.waitForLine(
            [](const std::string& text) { return text.starts_with("Connection key: "); })) {
      key = line->substr(std::strlen("Connection key: "));
    }
  }

  bool listening() {
    return !key.empty() &&
           program.waitForLine("Listening on port " + port + " · LAN / private network");
  }

  // A headless remote of this host, the key on its standard input.
  Program remote(const std::vector<std::string>& extra) const {
    return run(concat({VELTRA_REMOTE_PROGRAM, "--headless", "--address", "127.0.0.1", "--port",
                       port, "--key-file", "-"},
                      extra),
               key + "\n");
  }
};

// The folder of the display server `host` started: where its -auth file is.
inline std::optional<fs::path> displayFolder(pid_t host) {
  for (const ProcessRecord& server : runningChildrenNamed("Xvfb", host)) {
    const auto& arguments = server.arguments;
    const auto auth = std::find(arguments.begin(), arguments.end(), "-auth");
    if (auth != arguments.end() && std::next(auth) != arguments.end()) {
      return fs::path(*std::next(auth)).parent_path();
    }
  }
  return std::nullopt;
}

}  // namespace veltra::test
