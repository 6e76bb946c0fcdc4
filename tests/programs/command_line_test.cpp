// The programs' command lines as scripts and users meet them, and the host's options for running
// as a service: a key that stays in a file, and the address it listens on.

#include <gtest/gtest.h>

#include <string>

#include "host/x11_test_support.h"
#include "programs/program_support.h"
#include "protocol/KeyFile.h"
#include "support/Version.h"

namespace veltra {
namespace {

using namespace test;

struct ProgramUnderTest {
  const char* path;
  std::string name;
};

class EveryProgram : public testing::TestWithParam<ProgramUnderTest> {};

TEST_P(EveryProgram, AnswersHelpAndVersionAndRefusesWhatItDoesNotKnow) {
  const ProgramUnderTest& program = GetParam();
  Program help(program.path, {"--help"});
  EXPECT_EQ(help.waitForExit(), 0) << help.errors();
  EXPECT_TRUE(help.errors().empty()) << help.errors();
  EXPECT_NE(joined(help.lines()).find("usage: " + program.name), std::string::npos)
      << joined(help.lines());

  Program version(program.path, {"--version"});
  EXPECT_EQ(version.waitForExit(), 0) << version.errors();
  EXPECT_EQ(version.lines(), std::vector<std::string>{program.name + " " + kVersion});

  Program unknown(program.path, {"--no-such-option=1"});
  EXPECT_EQ(unknown.waitForExit(), 2);
  EXPECT_TRUE(unknown.lines().empty()) << joined(unknown.lines());
  EXPECT_TRUE(unknown.errors().starts_with(program.name + ": ")) << unknown.errors();
  EXPECT_NE(unknown.errors().find("--no-such-option"), std::string::npos) << unknown.errors();
}

INSTANTIATE_TEST_SUITE_P(
    Programs, EveryProgram,
    testing::Values(ProgramUnderTest{VELTRA_HOST_PROGRAM, "veltra-host"},
                    ProgramUnderTest{VELTRA_REMOTE_PROGRAM, "veltra-remote"},
                    ProgramUnderTest{VELTRA_TEST_PATTERN_PROGRAM, "veltra-test-pattern"},
                    ProgramUnderTest{VELTRA_HOSTILE_LOAD_PROGRAM, "veltra-hostile-load"},
                    ProgramUnderTest{VELTRA_RELAY_PROGRAM, "veltra-relay"},
                    ProgramUnderTest{VELTRA_INPUT_RECORDER_PROGRAM, "veltra-input-recorder"}));

TEST(Programs, HostWithoutADisplayAsksForHeadless) {
  Program host(VELTRA_HOST_PROGRAM, {"--port", "9876"}, {},
               {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
  EXPECT_EQ(host.waitForExit(), 2);
  EXPECT_NE(host.errors().find("--headless"), std::string::npos) << host.errors();
}

// The key is made once, used again by the next run and never shown: a client that holds the same
// file streams from the second run.
TEST(Programs, HostKeepsItsKeyInAPrivateFileAndNeverPrintsIt) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  TempDirectory scratch;
  const fs::path keyFile = scratch.path() / "config" / "veltra" / "host-key";
  std::string key;
  for (int run = 1; run <= 2; ++run) {
    RunningHost host({}, kTestPattern, {"--key-file", keyFile.string()});
    ASSERT_TRUE(host.listening()) << joined(host.program.lines()) << host.program.errors();
    EXPECT_EQ(host.key, "from " + keyFile.string());
    if (run == 1) key = readKeyFile(keyFile);
    EXPECT_EQ(readKeyFile(keyFile), key);

    if (run == 2) {
      Program remote(VELTRA_REMOTE_PROGRAM,
                     {"--headless", "--address=127.0.0.1", "--port", host.port,
                      "--key-file=" + keyFile.string(), "--seconds", "3"});
      EXPECT_EQ(remote.waitForExit(), 0) << joined(remote.lines()) << remote.errors();
      EXPECT_TRUE(host.printed("Streaming 1920×1080 · requested 60 fps"))
          << joined(host.program.lines());
    }
    host.program.signal(SIGINT);
    EXPECT_EQ(host.program.waitForExit(), 0) << host.program.errors();
    EXPECT_EQ(joined(host.program.lines()).find(key), std::string::npos);
    EXPECT_EQ(host.program.errors().find(key), std::string::npos);
  }
}

// Bound to 127.0.0.1, the host answers there and not on another loopback address, which a host
// on every interface would answer too.
TEST(Programs, HostListensOnlyOnTheAddressItIsBoundTo) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  RunningHost host({}, "", {"--bind", "127.0.0.1"});
  ASSERT_TRUE(host.listening()) << joined(host.program.lines()) << host.program.errors();
  const auto connects = [&](const char* address) {
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    asio::error_code error;
    socket.connect({asio::ip::make_address(address), uint16_t(std::stoi(host.port))}, error);
    return !error;
  };
  EXPECT_TRUE(connects("127.0.0.1"));
  EXPECT_FALSE(connects("127.0.0.2"));

  // Not an address: refused before anything starts.
  Program malformed(VELTRA_HOST_PROGRAM, {"--headless", "--session", "none", "--bind", "lan"});
  EXPECT_EQ(malformed.waitForExit(), 2);
  EXPECT_NE(malformed.errors().find("--bind"), std::string::npos) << malformed.errors();
}

}  // namespace
}  // namespace veltra
