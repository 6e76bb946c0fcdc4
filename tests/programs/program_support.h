#pragma once

// Running the programs as a user does, for the tests that watch them from outside: a process
// with its output collected, and what /proc tells about it and its children.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/processes.h"

extern char** environ;

namespace veltra::test {

// Width and height from a PNG's IHDR chunk, which must come first; nothing if it is not a PNG.
inline std::optional<std::pair<uint32_t, uint32_t>> pngSize(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  unsigned char header[24] = {};
  if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (std::memcmp(header, kSignature, 8) != 0 || std::memcmp(header + 12, "IHDR", 4) != 0) {
    return std::nullopt;
  }
  auto bigEndian = [&](int at) {
    return uint32_t{header[at]} << 24 | uint32_t{header[at + 1]} << 16 |
           uint32_t{header[at + 2]} << 8 | uint32_t{header[at + 3]};
  };
  return std::pair{bigEndian(16), bigEndian(20)};
}

// N from a "decoded N fps · rtt M ms" line of the remote's statistics, or nothing for any other
// line.
inline std::optional<int> decodedRate(const std::string& line) {
  int rate = 0, end = -1;
  if (std::sscanf(line.c_str(), "decoded %d fps · rtt %*s ms%n", &rate, &end) != 1 ||
      end != static_cast<int>(line.size())) {
    return std::nullopt;
  }
  return rate;
}

// The test pattern as a host's --session.
inline const std::string kTestPattern = "'" + std::string(VELTRA_TEST_PATTERN_PROGRAM) + "'";

// A host listening on a fresh port, its key read from its first line. `prefix` is a command that
// runs it (setpriv, to run it as another user); `session` its --session, none if empty; `extra`
// more of its options. With --key-file among them, `key` is "from FILE", as the host says.
struct RunningHost {
  std::string port = std::to_string(freePort());
  Program program;
  std::string key;

  explicit RunningHost(const std::vector<std::string>& prefix = {},
                       const std::string& session = kTestPattern,
                       const std::vector<std::string>& extra = {})
      : program(prefix.empty() ? VELTRA_HOST_PROGRAM : prefix.front(),
                arguments(prefix, session, extra)) {
    if (auto line = program.waitForLine(
            [](const std::string& text) { return text.starts_with("Connection key: "); })) {
      key = line->substr(std::strlen("Connection key: "));
    }
  }

  std::vector<std::string> arguments(const std::vector<std::string>& prefix,
                                     const std::string& session,
                                     const std::vector<std::string>& extra) const {
    std::vector<std::string> all(prefix.empty() ? prefix.begin() : prefix.begin() + 1,
                                 prefix.end());
    if (!prefix.empty()) all.push_back(VELTRA_HOST_PROGRAM);
    for (const char* argument : {"--headless", "--port"}) all.push_back(argument);
    all.push_back(port);
    all.push_back("--session");
    all.push_back(session.empty() ? "none" : session);
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }

  bool listening() {
    return !key.empty() &&
           program.waitForLine("Listening on port " + port + " · LAN / private network");
  }
  bool printed(const std::string& line) { return program.waitForLine(line).has_value(); }
};

}  // namespace veltra::test
