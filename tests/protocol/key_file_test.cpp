// The key file: what it accepts, what it refuses, and that it is private from its first byte.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "harness/harness.h"
#include "protocol/KeyFile.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"

namespace veltra {
namespace {

namespace fs = std::filesystem;

TEST(KeyFile, RefusesWhatIsNoKeyNamingTheFile) {
  for (const std::optional<std::string>& content :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>("c2hvcnQ="), std::optional(RemoteAuthentication::newKey() + "A"),
        std::optional(std::string(8000, 'A'))}) {
    test::TempDirectory scratch;
    const fs::path path = scratch.path() / "host-key";
    if (content) std::ofstream(path) << *content;
    try {
      readKeyFile(path);
      ADD_FAILURE() << "accepted " << content.value_or("no file");
    } catch (const RemoteError& error) {
      EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos) << error.what();
    }
  }
}

TEST(KeyFile, IsCreatedPrivateEvenUnderUmaskZeroKeptAndReadWithWhiteSpaceAround) {
  test::TempDirectory scratch;
  const mode_t previous = ::umask(0);
  const fs::path path = scratch.path() / "config" / "veltra" / "host-key";
  const std::string created = loadOrCreateKeyFile(path);
  ::umask(previous);
  EXPECT_NO_THROW(RemoteAuthentication::secret(created));
  auto mode = [](const fs::path& of) {
    return static_cast<unsigned>(fs::status(of).permissions());
  };
  EXPECT_EQ(mode(path), 0600u);
  EXPECT_EQ(mode(path.parent_path()), 0700u);
  EXPECT_EQ(mode(path.parent_path().parent_path()), 0700u);
  EXPECT_EQ(loadOrCreateKeyFile(path), created);

  // Replaced whole, with no temporary file left beside it; never with something that is no key.
  const std::string second = RemoteAuthentication::newKey();
  writeKeyFile(path, second);
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);
  EXPECT_THROW(writeKeyFile(path, "not a key"), RemoteError);
  std::ofstream(path, std::ios::app) << " \r\n";
  EXPECT_EQ(readKeyFile(path), second);
  // A file that exists but is no key is refused, not replaced.
  std::ofstream(path, std::ios::trunc) << "broken";
  EXPECT_THROW(loadOrCreateKeyFile(path), RemoteError);
}

}  // namespace
}  // namespace veltra
