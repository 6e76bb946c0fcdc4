#include <gtest/gtest.h>

#include "host/x11_test_support.h"
#include "programs/program_support.h"

namespace veltra {
namespace {

using namespace test;

TEST(ProgramFaults, TheStreamOutlivesACrashingSessionCommandButNotItsDisplay) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  TempDirectory scratch;
  const fs::path crashed = scratch.path() / "crashed";
  RunningHost host({},
                   kTestPattern + " & sleep 0.3; touch " + crashed.string() + "; kill -SEGV $$");
  ASSERT_TRUE(host.listening()) << joined(host.program.lines());
  Program first = host.remote({"--seconds", "30"});
  ASSERT_TRUE(first.waitForLine(kConnected)) << joined(first.lines()) << first.errors();
  ASSERT_TRUE(waitUntil([&] { return fs::exists(crashed); }));
  EXPECT_TRUE(first.waitForLine([&, seen = 0u, before = first.lines().size()](auto& line) mutable {
    return ++seen > before && decodedSome(line);
  })) << joined(first.lines());
  EXPECT_EQ(joined(host.program.lines()).find("lost"), std::string::npos);

  const auto server = runningChildrenNamed("Xvfb", host.program.pid());
  ASSERT_EQ(server.size(), 1u);
  ::kill(server[0].pid, SIGKILL);
  const std::string lost = "Virtual display connection lost.";
  EXPECT_TRUE(first.waitForLine(lost)) << joined(first.lines());
  EXPECT_EQ(first.waitForExit(15s), 0) << joined(first.lines());
  EXPECT_TRUE(host.program.waitForLine(lost + " · listening on " + host.port))
      << joined(host.program.lines());

  Program second = host.remote({"--seconds", "30"});
  EXPECT_TRUE(second.waitForLine(decodedSome)) << joined(second.lines());
  const auto fresh = runningChildrenNamed("Xvfb", host.program.pid());
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_NE(fresh[0].pid, server[0].pid);
  second.signal(SIGINT);
  EXPECT_EQ(second.waitForExit(), 0) << joined(second.lines());
  EXPECT_TRUE(host.program.running());
}

class HostDeath : public testing::TestWithParam<int> {};

TEST_P(HostDeath, LeavesNothingOfItsDisplayBehind) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  TempDirectory scratch;
  RunningHost host({}, escapingProcesses(scratch.path()) + "exec " + kTestPattern);
  ASSERT_TRUE(host.listening()) << joined(host.program.lines());
  Program client = host.remote({"--seconds", "30"});
  ASSERT_TRUE(client.waitForLine(kConnected)) << joined(client.lines());

  std::vector<pid_t> left = escapedPids(scratch.path());
  ASSERT_EQ(left.size(), 2u);
  for (const char* name : {"Xvfb", "veltra-keeper"}) {
    const auto children = runningChildrenNamed(name, host.program.pid());
    ASSERT_EQ(children.size(), 1u) << name;
    left.push_back(children[0].pid);
  }
  // The display's sound server, the keeper's child.
  const auto sound = runningChildrenNamed("pulseaudio", left.back());
  ASSERT_EQ(sound.size(), 1u);
  left.push_back(sound[0].pid);
  const std::optional<fs::path> folder = displayFolder(host.program.pid());
  ASSERT_TRUE(folder && fs::exists(*folder));

  host.program.signal(GetParam());
  EXPECT_TRUE(allEnd(left, 2s));
  EXPECT_FALSE(fs::exists(*folder)) << *folder;
  EXPECT_TRUE(client.waitForExit().has_value());
}

INSTANTIATE_TEST_SUITE_P(Signals, HostDeath, testing::Values(SIGKILL, SIGHUP, SIGQUIT, SIGABRT),
                         [](const auto& p) { return std::string(sigabbrev_np(p.param)); });

// Run as root, the test runs the programs and their prying neighbour as "nobody": root may read
// any process, so only an ordinary user shows what the programs protect.
std::vector<std::string> asOrdinaryUser(const std::vector<std::string>& command) {
  if (::geteuid() != 0) return command;
  return concat({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, command);
}

bool neighbourReads(pid_t pid) {
  Program reader = run(asOrdinaryUser({"/bin/cat", "/proc/" + std::to_string(pid) + "/environ"}));
  return reader.waitForExit() == 0;
}

TEST(ProgramSecrets, NeitherProgramCanBeReadByAnotherProcessOfItsUser) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  if (::geteuid() == 0 && !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "no setpriv";
  // The neighbour reads an ordinary process of that user, so a refusal below is the programs'.
  Program ordinary = run(asOrdinaryUser({"/bin/sleep", "30"}));
  ASSERT_TRUE(waitUntil(
      [&] { return readProcess(ordinary.pid()).value_or(ProcessRecord{}).name == "sleep"; }));
  EXPECT_TRUE(neighbourReads(ordinary.pid()));

  RunningHost host(asOrdinaryUser({}), "");
  ASSERT_TRUE(host.listening()) << joined(host.program.lines()) << host.program.errors();
  EXPECT_FALSE(neighbourReads(host.program.pid()));

  // The remote holds the key from its start: read while it waits for a host that never answers.
  asio::io_context context;
  asio::ip::tcp::acceptor silent(context, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0));
  Program client =
      run(asOrdinaryUser({VELTRA_REMOTE_PROGRAM, "--headless", "--address", "::1", "--port",
                          std::to_string(silent.local_endpoint().port()), "--key-file", "-"}),
          host.key + "\n");
  ASSERT_TRUE(client.waitForLine("Connecting and authenticating…")) << client.errors();
  EXPECT_FALSE(neighbourReads(client.pid()));
}

}  // namespace
}  // namespace veltra
