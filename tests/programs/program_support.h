#pragma once

#include <algorithm>
#include <cstring>

#include "harness/processes.h"

namespace veltra::test {

inline const std::string kTestPattern = "'" + std::string(VELTRA_TEST_PATTERN_PROGRAM) + "'";
inline const std::string kConnected = "Connected · 1920×1080 · target 60 fps";

inline Program run(const std::vector<std::string>& command, const std::string& input = {}) {
  return Program(command.front(), std::vector<std::string>(command.begin() + 1, command.end()),
                 input);
}

inline std::vector<std::string> concat(std::vector<std::string> head,
                                       const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

inline bool decodedSome(const std::string& line) {
  int rate = 0;
  return std::sscanf(line.c_str(), "decoded %d fps", &rate) == 1 && rate > 0;
}

// A headless host on a fresh port. `command` runs it (setpriv); an empty `session` is none. With
// --key-file in `extra`, `key` is "from FILE", as the host says.
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

  Program remote(const std::vector<std::string>& extra) const {
    return run(concat({VELTRA_REMOTE_PROGRAM, "--headless", "--address", "127.0.0.1", "--port",
                       port, "--key-file", "-"},
                      extra),
               key + "\n");
  }
};

inline std::string readBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Where the display server `host` started keeps its -auth file.
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
