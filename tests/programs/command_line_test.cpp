#include <gtest/gtest.h>

#include <cerrno>

#include "programs/program_support.h"
#include "protocol/RemoteAuthentication.h"
#include "support/Version.h"

namespace veltra {
namespace {

using namespace test;

class EveryProgram : public testing::TestWithParam<const char*> {};

TEST_P(EveryProgram, AnswersHelpAndVersionAndRefusesWhatItDoesNotKnow) {
  const std::string name = fs::path(GetParam()).filename();
  Program help(GetParam(), {"--help"});
  EXPECT_TRUE(help.waitForExit() == 0 && help.errors().empty()) << help.errors();
  EXPECT_NE(joined(help.lines()).find("usage: " + name), std::string::npos);

  Program version(GetParam(), {"--version"});
  EXPECT_EQ(version.waitForExit(), 0) << version.errors();
  EXPECT_EQ(version.lines(), std::vector<std::string>{name + " " + kVersion});

  Program unknown(GetParam(), {"--no-such-option=1"});
  EXPECT_EQ(unknown.waitForExit(), 2);
  EXPECT_TRUE(unknown.lines().empty()) << joined(unknown.lines());
  const std::string& errors = unknown.errors();
  EXPECT_TRUE(errors.starts_with(name + ": ") && errors.find("--no-such-option") != errors.npos &&
              errors.find("\nusage: " + name) != errors.npos)
      << errors;
}

INSTANTIATE_TEST_SUITE_P(Programs, EveryProgram,
                         testing::Values(VELTRA_HOST_PROGRAM, VELTRA_REMOTE_PROGRAM,
                                         VELTRA_TEST_PATTERN_PROGRAM, VELTRA_HOSTILE_LOAD_PROGRAM,
                                         VELTRA_RELAY_PROGRAM, VELTRA_INPUT_RECORDER_PROGRAM));

// Usage errors: exit code 2 and one line on standard error; a taken or refusing port: exit code 1
// and the system's words as the last status line.
TEST(Programs, WhatCannotWorkEndsTheProgramWithItsReason) {
  struct Case {
    std::vector<std::string> command;
    std::string problem;
    int code = 2;
    std::vector<std::string> environment = {};
  };
  asio::io_context context;
  asio::ip::tcp::acceptor taken(context, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0));
  const std::string remote = VELTRA_REMOTE_PROGRAM, host = VELTRA_HOST_PROGRAM;
  const std::vector<Case> cases = {
      {{remote, "--address", "127.0.0.1", "--key-file", "-"}, "--address needs --headless"},
      {{remote, "--connect"}, "--connect needs a profile"},
      {{remote, "--headless", "--profile", "h.json", "--address", "127.0.0.1", "--key-file", "-"},
       "either --profile or --address"},
      {{remote, "--headless", "--address", "::1", "--key-file", "-", "--mode", "1280x720@60"},
       "--mode: 1280x720@60 is not"},
      {{remote, "--headless", "--address", "127.0.0.1"}, "--address needs --key-file"},
      {{remote, "--headless", "--address", "::1", "--key-file", "-", "--warm-up", "2"},
       "--warm-up needs --latency"},
      {{remote, "--headless", "host.json"}, "PROFILE.json is for the window"},
      {{host, "--headless", "--port", "abc"}, "--port: abc is not"},
      {{host, "--key-file", "key"}, "--key-file needs --headless"},
      {{host, "--headless", "--session", "none", "--bind", "lan"}, "--bind takes an IP address"},
      {{host}, "no display", 2, {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}},
      {{host, "--headless", "--session", "none", "--port",
        std::to_string(taken.local_endpoint().port())},
       std::strerror(EADDRINUSE),
       1},
      // Nobody listens on a port just handed back to the kernel.
      {{remote, "--headless", "--address", "127.0.0.1", "--port", std::to_string(freePort()),
        "--key-file", "-"},
       std::strerror(ECONNREFUSED),
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.command));
    Program program(c.command.front(), {c.command.begin() + 1, c.command.end()},
                    RemoteAuthentication::newKey() + "\n", c.environment);
    EXPECT_EQ(program.waitForExit(), c.code);
    const std::string output = joined(program.lines()), errors = program.errors();
    if (c.code == 1) {
      EXPECT_TRUE(output.ends_with(c.problem + "\n")) << output << errors;
      continue;
    }
    EXPECT_TRUE(output.empty()) << output;
    EXPECT_TRUE(errors.starts_with(fs::path(c.command.front()).filename().string() + ": "));
    EXPECT_NE(errors.substr(0, errors.find('\n')).find(c.problem), std::string::npos) << errors;
  }
}

}  // namespace
}  // namespace veltra
