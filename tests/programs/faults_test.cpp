// The programs under faults and prying eyes: a display server killed mid-session, a session
// command that crashes, a port already taken, and where the connection key may and may not show
// up on the machine while a session runs.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/x11_test_support.h"
#include "programs/program_support.h"
#include "protocol/Base64.h"
#include "protocol/RemoteAuthentication.h"

namespace veltra {
namespace {

using namespace test;

std::vector<ProcessRecord> descendantsOf(pid_t parent) {
  std::vector<ProcessRecord> all;
  for (const ProcessRecord& child : childrenOf(parent)) {
    all.push_back(child);
    for (const ProcessRecord& grandchild : descendantsOf(child.pid)) all.push_back(grandchild);
  }
  return all;
}

std::optional<ProcessRecord> childNamed(pid_t parent, const std::string& name) {
  for (const ProcessRecord& child : childrenOf(parent)) {
    if (child.name == name) return child;
  }
  return std::nullopt;
}

std::string readBytes(const fs::path& path, size_t limit = 4 << 20) {
  std::ifstream file(path, std::ios::binary);
  std::string bytes(limit, '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(limit));
  bytes.resize(static_cast<size_t>(file.gcount()));
  return bytes;
}

std::unique_ptr<Program> remote(const RunningHost& host, const std::string& seconds) {
  return std::make_unique<Program>(
      VELTRA_REMOTE_PROGRAM,
      std::vector<std::string>{"--headless", "--address", "127.0.0.1", "--port", host.port,
                               "--key-file", "-", "--mode", "1920x1080@60", "--seconds", seconds},
      host.key + "\n");
}

bool decodedSome(Program& program) {
  return program
      .waitForLine([](const std::string& line) { return decodedRate(line).value_or(0) > 0; })
      .has_value();
}

TEST(ProgramFaults, AHostOnATakenPortSaysWhyAndExitsWithAFailure) {
  asio::io_context context;
  asio::ip::tcp::acceptor taken(context, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0));
  const std::string port = std::to_string(taken.local_endpoint().port());

  Program host(VELTRA_HOST_PROGRAM, {"--headless", "--port", port, "--session", "none"});
  ASSERT_TRUE(host.started());
  EXPECT_EQ(host.waitForExit(), 1) << joined(host.lines()) << host.errors();
  ASSERT_FALSE(host.lines().empty());
  EXPECT_EQ(host.lines().back(), std::strerror(EADDRINUSE)) << joined(host.lines());
}

TEST(ProgramFaults, AKilledDisplayEndsTheSessionWithItsTextAndTheNextSessionGetsAFreshOne) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  RunningHost host;
  ASSERT_TRUE(host.listening()) << joined(host.program.lines()) << host.program.errors();

  auto first = remote(host, "30");
  ASSERT_TRUE(first->waitForLine("Connected · 1920×1080 · target 60 fps"))
      << joined(first->lines()) << first->errors();
  const auto server = childNamed(host.program.pid(), "Xvfb");
  ASSERT_TRUE(server);
  ::kill(server->pid, SIGKILL);

  const std::string lost = "Virtual display connection lost.";
  EXPECT_TRUE(first->waitForLine(lost)) << joined(first->lines());
  // The client's session ended by itself, long before its 30 seconds.
  EXPECT_EQ(first->waitForExit(15s), 0) << joined(first->lines());
  EXPECT_TRUE(host.printed(lost + " · listening on " + host.port)) << joined(host.program.lines());

  // Long enough for a loaded machine; ended as soon as pictures arrive.
  auto second = remote(host, "30");
  EXPECT_TRUE(second->waitForLine("Connected · 1920×1080 · target 60 fps"))
      << joined(second->lines()) << joined(host.program.lines());
  EXPECT_TRUE(decodedSome(*second)) << joined(second->lines());
  const auto fresh = childNamed(host.program.pid(), "Xvfb");
  ASSERT_TRUE(fresh);
  EXPECT_NE(fresh->pid, server->pid);
  second->signal(SIGINT);
  EXPECT_EQ(second->waitForExit(), 0) << joined(second->lines());
}

TEST(ProgramFaults, ACrashingSessionCommandLeavesTheStreamRunning) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  TempDirectory scratch;
  const fs::path crashing = scratch.path() / "crashing";
  // The shell starts the pattern, then dies of a segmentation fault of its own.
  RunningHost host({},
                   kTestPattern + " & sleep 0.3; touch " + crashing.string() + "; kill -SEGV $$");
  ASSERT_TRUE(host.listening()) << joined(host.program.lines());

  auto client = remote(host, "30");
  ASSERT_TRUE(client->waitForLine("Connected · 1920×1080 · target 60 fps"))
      << joined(client->lines()) << joined(host.program.lines());
  const auto deadline = Clock::now() + 20s;
  while (!fs::exists(crashing) && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(fs::exists(crashing));
  // Pictures of the pattern keep coming after that.
  const size_t before = client->lines().size();
  size_t seen = 0;
  EXPECT_TRUE(client->waitForLine([&](const std::string& line) {
    return ++seen > before && decodedRate(line).value_or(0) > 0;
  })) << joined(client->lines());
  client->signal(SIGINT);
  EXPECT_EQ(client->waitForExit(), 0) << joined(client->lines());
  for (const std::string& line : host.program.lines()) {
    EXPECT_EQ(line.find("lost"), std::string::npos) << line;
  }
  EXPECT_TRUE(host.program.running());
}

// However the host ends, its display server, its session with whatever that left outside its
// process group, and the display's files are gone within two seconds.
class HostDeath : public ::testing::TestWithParam<int> {};

TEST_P(HostDeath, LeavesNothingOfItsDisplayBehind) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  TempDirectory scratch;
  RunningHost host({}, escapingProcesses(scratch.path()) + "exec " + kTestPattern);
  ASSERT_TRUE(host.listening()) << joined(host.program.lines());
  auto client = remote(host, "30");
  ASSERT_TRUE(client->waitForLine("Connected · 1920×1080 · target 60 fps"))
      << joined(client->lines()) << joined(host.program.lines());

  std::vector<pid_t> left = escapedPids(scratch.path());
  ASSERT_EQ(left.size(), 2u);
  const auto server = childNamed(host.program.pid(), "Xvfb");
  const auto keeper = childNamed(host.program.pid(), "veltra-keeper");
  ASSERT_TRUE(server && keeper);
  for (const ProcessRecord& process : {*server, *keeper}) left.push_back(process.pid);
  const auto authority = std::find(server->arguments.begin(), server->arguments.end(), "-auth");
  ASSERT_NE(authority, server->arguments.end());
  const fs::path folder = fs::path(*std::next(authority)).parent_path();
  ASSERT_TRUE(fs::exists(folder));

  host.program.signal(GetParam());
  EXPECT_TRUE(allEnd(left, 2s));
  EXPECT_FALSE(fs::exists(folder)) << folder;
  EXPECT_TRUE(client->waitForExit().has_value());
}

INSTANTIATE_TEST_SUITE_P(Signals, HostDeath, ::testing::Values(SIGKILL, SIGHUP, SIGQUIT, SIGABRT),
                         [](const auto& signal) {
                           return std::string(sigabbrev_np(signal.param));
                         });

// Every place where another local user, a crash report or a backup could find the key: command
// lines and environments of every process of a session, files any of them holds open or the
// display keeps, and everything the programs print except the host's one key line.
TEST(ProgramSecrets, TheKeyStaysOutOfCommandLinesEnvironmentsFilesAndOutput) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  RunningHost host;
  ASSERT_TRUE(host.listening()) << joined(host.program.lines());
  const std::optional<Bytes> raw = base64Decode(host.key);
  ASSERT_TRUE(raw && raw->size() == 32);
  const std::string rawKey(raw->begin(), raw->end());
  auto holdsKey = [&](const std::string& bytes) {
    return bytes.find(host.key) != std::string::npos || bytes.find(rawKey) != std::string::npos;
  };

  auto client = remote(host, "3");
  ASSERT_TRUE(client->waitForLine("Connected · 1920×1080 · target 60 fps"))
      << joined(client->lines());
  std::vector<ProcessRecord> processes = descendantsOf(host.program.pid());
  std::set<std::string> names;
  for (const ProcessRecord& process : processes) names.insert(process.name);
  EXPECT_TRUE(names.contains("Xvfb") && names.contains("veltra-test-pat")) << names.size();
  processes.push_back(*readProcess(host.program.pid()));
  processes.push_back(*readProcess(client->pid()));

  std::set<fs::path> files;
  for (const ProcessRecord& process : processes) {
    SCOPED_TRACE(process.name);
    const fs::path directory = fs::path("/proc") / std::to_string(process.pid);
    for (const std::string& argument : process.arguments) EXPECT_FALSE(holdsKey(argument));
    // Unreadable only to a process without the right to trace it; the test runs as its owner.
    std::ifstream environment(directory / "environ", std::ios::binary);
    if (environment) {
      EXPECT_FALSE(holdsKey(readBytes(directory / "environ")));
    }
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory / "fd", error)) {
      const fs::path target = fs::read_symlink(entry.path(), error);
      if (!error && target.is_absolute() && fs::is_regular_file(target, error)) {
        files.insert(target);
      }
    }
  }
  const auto server = childNamed(host.program.pid(), "Xvfb");
  ASSERT_TRUE(server);
  for (size_t i = 0; i + 1 < server->arguments.size(); ++i) {
    if (server->arguments[i] != "-auth") continue;
    std::error_code error;
    for (const auto& entry :
         fs::directory_iterator(fs::path(server->arguments[i + 1]).parent_path(), error)) {
      files.insert(entry.path());
    }
  }
  EXPECT_FALSE(files.empty());
  for (const fs::path& file : files) EXPECT_FALSE(holdsKey(readBytes(file))) << file;

  EXPECT_EQ(client->waitForExit(), 0);
  EXPECT_FALSE(holdsKey(joined(client->lines()) + client->errors()));
  host.program.signal(SIGINT);
  EXPECT_EQ(host.program.waitForExit(), 0);
  std::vector<std::string> hostLines = host.program.lines();
  ASSERT_FALSE(hostLines.empty());
  EXPECT_EQ(hostLines.front(), "Connection key: " + host.key);
  hostLines.erase(hostLines.begin());
  EXPECT_FALSE(holdsKey(joined(hostLines) + host.program.errors()));
}

// Run as root, the test runs the programs and their prying neighbour as "nobody": root may read
// any process, so only an ordinary user shows what the programs protect.
std::vector<std::string> ordinaryUser() {
  if (::geteuid() != 0) return {};
  return {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

// What a neighbouring process of the same user gets when it reads `pid`'s environment: 0 if it
// could, the reader's exit code if not.
int neighbourReadsEnvironmentOf(pid_t pid) {
  std::vector<std::string> command = ordinaryUser();
  if (command.empty())
    command.push_back("/bin/cat");
  else
    command.insert(command.end(), "/bin/cat");
  command.push_back("/proc/" + std::to_string(pid) + "/environ");
  Program reader(command.front(), std::vector<std::string>(command.begin() + 1, command.end()));
  return reader.waitForExit().value_or(-1);
}

TEST(ProgramSecrets, NeitherProgramCanBeReadByAnotherProcessOfItsUser) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  if (::geteuid() == 0 && !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "no setpriv";
  const std::vector<std::string> user = ordinaryUser();

  // The same neighbour reads an ordinary process of that user, so a refusal below is the
  // programs' own doing.
  std::vector<std::string> sleeper = user;
  sleeper.push_back("/bin/sleep");
  sleeper.push_back("30");
  Program ordinary(sleeper.front(), std::vector<std::string>(sleeper.begin() + 1, sleeper.end()));
  ASSERT_TRUE(ordinary.started());
  std::this_thread::sleep_for(100ms);  // past the exec of setpriv
  EXPECT_EQ(neighbourReadsEnvironmentOf(ordinary.pid()), 0);

  RunningHost host(user, "");
  ASSERT_TRUE(host.listening()) << joined(host.program.lines()) << host.program.errors();
  EXPECT_NE(neighbourReadsEnvironmentOf(host.program.pid()), 0);
  // Files of a process that may not be dumped belong to root, whoever runs it (here never root).
  struct stat status {};
  ASSERT_EQ(::stat(("/proc/" + std::to_string(host.program.pid()) + "/mem").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, 0u);

  // The remote holds the key from its start: read while it waits for a host that never answers.
  asio::io_context context;
  asio::ip::tcp::acceptor silent(context, asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0));
  std::vector<std::string> command = user;
  for (const std::string& argument :
       {std::string(VELTRA_REMOTE_PROGRAM), std::string("--headless"), std::string("--address"),
        std::string("::1"), std::string("--port"), std::to_string(silent.local_endpoint().port()),
        std::string("--key-file"), std::string("-")}) {
    command.push_back(argument);
  }
  Program client(command.front(), std::vector<std::string>(command.begin() + 1, command.end()),
                 host.key + "\n");
  ASSERT_TRUE(client.waitForLine("Connecting and authenticating…")) << client.errors();
  EXPECT_NE(neighbourReadsEnvironmentOf(client.pid()), 0);
}

}  // namespace
}  // namespace veltra
