#pragma once

// What tests of every layer share: free ports, scratch folders and bounded waits. Test binaries
// see it as "harness/harness.h"; "harness/processes.h" runs programs, "harness/xvfb.h" X servers.

#include <stdlib.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>
#include <thread>

namespace veltra::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How long a test waits for something that takes milliseconds when all is well: long enough for
// a loaded machine and a sanitizer build, short enough that a fault fails rather than hangs.
constexpr auto kPatience = 30s;

// Looks at `done` until it holds or `patience` has passed, calling `between` between looks
// (a short sleep by default; an event loop's turn where the awaited event needs one). The last
// look's answer.
template <class Done, class Between>
bool waitUntil(Done&& done, Clock::duration patience, Between&& between) {
  const auto deadline = Clock::now() + patience;
  while (!done()) {
    if (Clock::now() >= deadline) return done();
    between();
  }
  return true;
}
template <class Done>
bool waitUntil(Done&& done, Clock::duration patience = kPatience) {
  return waitUntil(std::forward<Done>(done), patience, [] { std::this_thread::sleep_for(2ms); });
}

// A TCP port nobody listens on right now, on every address (one dual-stack socket), asked of
// the kernel and released at once.
inline uint16_t freePort() {
  asio::io_context context;
  asio::ip::tcp::acceptor acceptor(context, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0));
  return acceptor.local_endpoint().port();
}

// The names of this process's threads, as `top -H` shows them.
inline std::multiset<std::string> threadNames() {
  std::multiset<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    names.insert(name);
  }
  return names;
}

// A scratch folder removed with everything in it.
class TempDirectory {
 public:
  TempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veltra-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace veltra::test
