// The key file: what it accepts, what it refuses, and that it is private from its first byte.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "host/x11_test_support.h"
#include "protocol/KeyFile.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"

namespace veltra {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

// Sets the umask for one scope.
class Umask {
 public:
  explicit Umask(mode_t mask) : previous_(::umask(mask)) {}
  ~Umask() { ::umask(previous_); }

 private:
  mode_t previous_;
};

TEST(KeyFile, AcceptsAKeyWithWhiteSpaceAroundIt) {
  TempDirectory scratch;
  const std::string key = RemoteAuthentication::newKey();
  const fs::path path = scratch.path() / "pasted";
  std::ofstream(path) << " \t\n" << key << "\r\n\n";
  EXPECT_EQ(readKeyFile(path), key);
}

// A file that is not a key fails with its name in the message, and never with a key inside.
class KeyFileRefuses : public testing::TestWithParam<std::optional<std::string>> {};

TEST_P(KeyFileRefuses, WithAMessageNamingTheFile) {
  TempDirectory scratch;
  const fs::path path = scratch.path() / "host-key";
  if (GetParam()) std::ofstream(path) << *GetParam();
  try {
    readKeyFile(path);
    FAIL() << "accepted";
  } catch (const RemoteError& error) {
    EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(KeyFile, KeyFileRefuses,
                         testing::Values(std::nullopt,             // missing
                                         std::string(),            // empty
                                         std::string("c2hvcnQ="),  // valid Base64, 5 bytes
                                         RemoteAuthentication::newKey() +
                                             "A",                   // one character too many
                                         std::string(8000, 'A')));  // no key file is this long

TEST(KeyFile, WritesAPrivateFileInPrivateFoldersEvenUnderUmaskZero) {
  TempDirectory scratch;
  Umask open(0);
  const fs::path path = scratch.path() / "config" / "veltra" / "host-key";
  const std::string first = RemoteAuthentication::newKey();
  writeKeyFile(path, first);
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_EQ(modeOf(path.parent_path()), 0700u);
  EXPECT_EQ(modeOf(path.parent_path().parent_path()), 0700u);
  EXPECT_EQ(readKeyFile(path), first);

  // Replaced whole, with no temporary file left beside it.
  const std::string second = RemoteAuthentication::newKey();
  writeKeyFile(path, second);
  EXPECT_EQ(readKeyFile(path), second);
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);
  EXPECT_THROW(writeKeyFile(path, "not a key"), RemoteError);
  EXPECT_EQ(readKeyFile(path), second);
}

TEST(KeyFile, CreatesAKeyOnceAndKeepsIt) {
  TempDirectory scratch;
  const fs::path path = scratch.path() / "veltra" / "host-key";
  const std::string created = loadOrCreateKeyFile(path);
  EXPECT_NO_THROW(RemoteAuthentication::secret(created));
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_EQ(loadOrCreateKeyFile(path), created);
  EXPECT_EQ(readKeyFile(path), created);
  // A file that exists but is no key is refused, not replaced.
  std::ofstream(path, std::ios::trunc) << "broken";
  EXPECT_THROW(loadOrCreateKeyFile(path), RemoteError);
}

}  // namespace
}  // namespace veltra
