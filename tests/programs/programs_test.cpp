// The programs as a user runs them: veltra-host streaming the test pattern to veltra-remote,
// each a separate process, watched through its exit code and output.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "host/x11_test_support.h"
#include "programs/program_support.h"
#include "protocol/RemoteAuthentication.h"

namespace veltra {
namespace {

using namespace test;

TEST(Programs, HostStreamsTheTestPatternToRemoteAndStopsCleanly) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  TempDirectory scratch;
  const uint16_t port = freePort();
  const std::string portText = std::to_string(port);

  Program host(VELTRA_HOST_PROGRAM, {"--headless", "--port", portText, "--session",
                                     "'" + std::string(VELTRA_TEST_PATTERN_PROGRAM) + "'"});
  ASSERT_TRUE(host.started());
  ASSERT_TRUE(host.waitForLine("Listening on port " + portText + " · LAN / private network"))
      << joined(host.lines()) << host.errors();
  ASSERT_GE(host.lines().size(), 3u);
  const std::string keyLine = host.lines()[0];
  ASSERT_TRUE(keyLine.starts_with("Connection key: ")) << keyLine;
  const std::string key = keyLine.substr(std::strlen("Connection key: "));
  EXPECT_EQ(key.size(), 44u);
  EXPECT_EQ(host.lines()[1], "Starting listener…");

  const fs::path snapshot = scratch.path() / "snap.png";
  Program remote(VELTRA_REMOTE_PROGRAM,
                 {"--headless", "--address", "127.0.0.1", "--port", portText, "--key-file", "-",
                  "--mode", "1920x1080@60", "--seconds", "4", "--snapshot", snapshot.string()},
                 key + "\n");
  ASSERT_TRUE(remote.started());

  ASSERT_TRUE(host.waitForLine("Streaming 1920×1080 · requested 60 fps"))
      << joined(host.lines()) << host.errors();
  // What the host started for the session: its display server and the test pattern's shell.
  const std::vector<ProcessRecord> started = childrenOf(host.pid());
  std::optional<fs::path> authorityDirectory;
  for (const ProcessRecord& child : started) {
    if (child.name != "Xvfb") continue;
    for (size_t i = 0; i + 1 < child.arguments.size(); ++i) {
      if (child.arguments[i] == "-auth")
        authorityDirectory = fs::path(child.arguments[i + 1]).parent_path();
    }
  }
  std::string names;
  for (const ProcessRecord& child : started) names += child.name + " ";
  ASSERT_TRUE(authorityDirectory) << "no display server among the host's children: " << names;
  EXPECT_GE(started.size(), 2u) << "no session command beside the display server: " << names;
  EXPECT_TRUE(fs::is_directory(*authorityDirectory));

  EXPECT_EQ(remote.waitForExit(), 0) << joined(remote.lines()) << remote.errors();
  const std::vector<std::string>& lines = remote.lines();
  auto printed = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(printed("Connecting and authenticating…")) << joined(lines);
  EXPECT_TRUE(printed("Authenticated · preparing remote display…")) << joined(lines);
  EXPECT_TRUE(printed("Connected · 1920×1080 · target 60 fps")) << joined(lines);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return decodedRate(line) > 0;
  })) << joined(lines);
  EXPECT_EQ(pngSize(snapshot), (std::pair<uint32_t, uint32_t>{1920, 1080}));
  // The key went in on standard input and must not come back out.
  EXPECT_EQ(joined(lines).find(key), std::string::npos);
  EXPECT_EQ(remote.errors().find(key), std::string::npos);

  // The remote's leaving puts the host back to listening.
  EXPECT_TRUE(host.waitForLine([&](const std::string& line) {
    return line.ends_with(" · listening on " + portText);
  })) << joined(host.lines());

  host.signal(SIGINT);
  EXPECT_EQ(host.waitForExit(), 0) << joined(host.lines()) << host.errors();
  ASSERT_FALSE(host.lines().empty());
  EXPECT_EQ(host.lines().back(), "Stopped");
  for (const ProcessRecord& child : started) {
    EXPECT_FALSE(stillRunning(child)) << child.name << " " << child.pid << " outlived the host";
  }
  EXPECT_FALSE(fs::exists(*authorityDirectory));
}

// The test pattern stamps every picture with its time; the remote reads it back from each decoded
// picture. Only plausibility is checked here (the same clock, a delay under a few seconds); the
// figures themselves are the pipeline benchmark's.
TEST(Programs, RemoteReadsTheTestPatternsLatencyStampFromEveryPicture) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  TempDirectory scratch;
  RunningHost host;
  ASSERT_TRUE(host.listening()) << joined(host.program.lines()) << host.program.errors();

  const fs::path csv = scratch.path() / "latency.csv";
  Program remote(
      VELTRA_REMOTE_PROGRAM,
      {"--headless", "--address", "127.0.0.1", "--port", host.port, "--key-file", "-", "--mode",
       "1920x1080@60", "--seconds", "4", "--latency", csv.string(), "--warm-up", "1"},
      host.key + "\n");
  ASSERT_TRUE(remote.started());
  EXPECT_EQ(remote.waitForExit(), 0) << joined(remote.lines()) << remote.errors();
  const std::vector<std::string>& lines = remote.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("latency median ");
  })) << joined(lines);

  std::ifstream file(csv);
  std::string line;
  ASSERT_TRUE(std::getline(file, line));
  EXPECT_EQ(line, "decoded_us,drawn_us,latency_us");
  int pictures = 0, stamped = 0;
  while (std::getline(file, line)) {
    ++pictures;
    long long decoded = 0, drawn = 0, latency = 0;
    if (std::sscanf(line.c_str(), "%lld,%lld,%lld", &decoded, &drawn, &latency) != 3) continue;
    ++stamped;
    EXPECT_EQ(decoded - drawn, latency) << line;
    EXPECT_GT(latency, 0) << line;
    EXPECT_LT(latency, 5'000'000) << line;
  }
  EXPECT_GT(pictures, 0);
  // A capture that caught the pattern mid-draw reads as nothing; that must stay rare.
  EXPECT_GE(stamped * 10, pictures * 9) << stamped << " of " << pictures << " stamped";
  host.program.signal(SIGINT);
  EXPECT_EQ(host.program.waitForExit(), 0) << joined(host.program.lines()) << host.program.errors();
}

TEST(Programs, RemoteReportsARefusedConnection) {
  // Nobody listens on a port just handed back to the kernel.
  const std::string port = std::to_string(freePort());
  Program remote(VELTRA_REMOTE_PROGRAM,
                 {"--headless", "--address", "127.0.0.1", "--port", port, "--key-file", "-"},
                 RemoteAuthentication::newKey() + "\n");
  ASSERT_TRUE(remote.started());
  EXPECT_EQ(remote.waitForExit(), 1);
  EXPECT_EQ(remote.lines(), (std::vector<std::string>{"Connecting and authenticating…",
                                                      std::strerror(ECONNREFUSED)}))
      << remote.errors();
}

TEST(Programs, BadArgumentsEndWithAUsageError) {
  struct Case {
    const char* program;
    std::vector<std::string> arguments;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {VELTRA_REMOTE_PROGRAM,
       {"--address", "127.0.0.1", "--key-file", "-"},
       "veltra-remote: --address needs --headless; the window takes [PROFILE.json] [--connect]"},
      {VELTRA_REMOTE_PROGRAM, {"--connect"}, "veltra-remote: --connect needs a profile"},
      {VELTRA_REMOTE_PROGRAM,
       {"--headless", "--profile", "host.json", "--address", "127.0.0.1", "--key-file", "-"},
       "veltra-remote: give either --profile or --address"},
      {VELTRA_REMOTE_PROGRAM,
       {"--headless", "--address", "127.0.0.1", "--key-file", "-", "--mode", "1280x720@60"},
       "veltra-remote: --mode: 1280x720@60 is not 1920x1080 or 2560x1440 at 60 or 120, e.g. "
       "1920x1080@60"},
      {VELTRA_REMOTE_PROGRAM,
       {"--headless", "--address", "127.0.0.1"},
       "veltra-remote: --address needs --key-file (use - to read the key from standard input)"},
      {VELTRA_REMOTE_PROGRAM,
       {"--headless", "--address", "127.0.0.1", "--key-file", "-", "--warm-up", "2"},
       "veltra-remote: --warm-up needs --latency"},
      {VELTRA_REMOTE_PROGRAM,
       {"--headless", "host.json"},
       "veltra-remote: PROFILE.json is for the window; headless takes --profile or --address"},
      {VELTRA_HOST_PROGRAM,
       {"--headless", "--port", "abc"},
       "veltra-host: --port: abc is not a whole number from 0 to 65535"},
      {VELTRA_HOST_PROGRAM, {"--key-file", "key"}, "veltra-host: --key-file needs --headless"},
  };
  for (const Case& c : cases) {
    std::string commandLine = c.program;
    for (const std::string& argument : c.arguments) commandLine += " " + argument;
    SCOPED_TRACE(commandLine);
    Program program(c.program, c.arguments);
    ASSERT_TRUE(program.started());
    EXPECT_EQ(program.waitForExit(), 2);
    EXPECT_TRUE(program.lines().empty()) << joined(program.lines());
    // One line saying what is wrong, then the usage.
    const std::string& errors = program.errors();
    EXPECT_EQ(errors.substr(0, errors.find('\n')), c.problem);
    EXPECT_NE(errors.find("\nusage: "), std::string::npos) << errors;
  }
}

}  // namespace
}  // namespace veltra
