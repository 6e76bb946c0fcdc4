#pragma once

// What tests of every layer share to set up a run: free ports and scratch folders. Test binaries
// see it as "harness/harness.h".

#include <stdlib.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

namespace veltra::test {

// A TCP port nobody listens on right now, on every address (one dual-stack socket), asked of
// the kernel and released at once.
inline uint16_t freePort() {
  asio::io_context context;
  asio::ip::tcp::acceptor acceptor(context, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0));
  return acceptor.local_endpoint().port();
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
