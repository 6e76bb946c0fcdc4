#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "host/x11/DesktopSession.h"
#include "host/x11/VLVirtualDisplay.h"
#include "host/x11/X11Connection.h"
#include "protocol/RemoteError.h"
#include "support/AsioMainQueue.h"
#include "x11_test_support.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

bool processExists(pid_t pid) {
  return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

std::string readText(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// What a display leaves on the machine while it lives; all of it must go with it.
struct Footprint {
  pid_t server;
  pid_t session;
  fs::path lock;
  fs::path socket;
  fs::path directory;

  explicit Footprint(const VLVirtualDisplay& display)
      : server(display.serverProcess()),
        session(display.sessionProcess()),
        lock("/tmp/.X" + std::to_string(display.displayID()) + "-lock"),
        socket("/tmp/.X11-unix/X" + std::to_string(display.displayID())),
        directory(fs::path(display.authorityFile()).parent_path()) {}

  void expectGone() const {
    EXPECT_FALSE(processExists(server)) << "server " << server;
    if (session != 0) {
      EXPECT_FALSE(processExists(session)) << "session " << session;
    }
    EXPECT_FALSE(fs::exists(lock)) << lock;
    EXPECT_FALSE(fs::exists(socket)) << socket;
    EXPECT_FALSE(fs::exists(directory)) << directory;
  }
};

std::string rootName(const x11::Connection& connection) {
  x11::Reply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(connection.get(),
                             xcb_get_property(connection.get(), 0, connection.root(),
                                              XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 0, 64),
                             nullptr));
  if (!reply) return {};
  return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     static_cast<size_t>(xcb_get_property_value_length(reply.get())));
}

// Whether anything listens on TCP `port`, on any address, IPv4 or IPv6 (state 0A is LISTEN).
bool tcpListener(unsigned port) {
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream lines(readText(table));
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      const size_t colon = local.rfind(':');
      if (state == "0A" && colon != std::string::npos &&
          std::stoul(local.substr(colon + 1), nullptr, 16) == port) {
        return true;
      }
    }
  }
  return false;
}

class VirtualDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  }
};

TEST_F(VirtualDisplayTest, EveryModeStartsExactlyAndLeavesNothingBehind) {
  const struct {
    int width, height, fps;
  } modes[] = {{1920, 1080, 60}, {1920, 1080, 120}, {2560, 1440, 60}, {2560, 1440, 120}};
  std::string previousCookie;
  for (const auto& mode : modes) {
    SCOPED_TRACE(std::to_string(mode.width) + "x" + std::to_string(mode.height) + "@" +
                 std::to_string(mode.fps));
    auto display = VLVirtualDisplay::create({mode.width, mode.height, double(mode.fps)});
    ASSERT_NE(display->displayID(), 0u);
    Footprint footprint(*display);
    EXPECT_TRUE(processExists(footprint.server));
    EXPECT_TRUE(fs::exists(footprint.lock));

    auto connection = x11::Connection::open(display->displayID());
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->width(), mode.width);
    EXPECT_EQ(connection->height(), mode.height);
    EXPECT_EQ(connection->screen()->root_depth, 24);
    EXPECT_EQ(rootName(*connection), "Veltra Remote Display");
    // 110 dpi: 1920 px is 443 mm.
    EXPECT_NEAR(connection->screen()->width_in_millimeters, mode.width * 25.4 / 110, 1.0);
    connection.reset();

    // The cookie lives in a directory only we can enter, in a file only we can read, and is
    // drawn fresh for every display.
    struct stat directory {
    }, file{};
    ASSERT_EQ(::stat(footprint.directory.c_str(), &directory), 0);
    ASSERT_EQ(::stat(display->authorityFile().c_str(), &file), 0);
    EXPECT_EQ(directory.st_mode & 0777, 0700u);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    std::string cookie = readText(display->authorityFile());
    EXPECT_NE(cookie, previousCookie);
    previousCookie = cookie;
    // Reachable through its local socket only: no X port (6000 + N) over TCP.
    EXPECT_FALSE(tcpListener(6000 + display->displayID()));

    display.reset();
    footprint.expectGone();
  }
}

TEST_F(VirtualDisplayTest, ClientsWithoutTheCookieAreRefused) {
  auto display = VLVirtualDisplay::create({640, 480, 60});
  const std::string name = display->displayName();

  // No credentials at all.
  static char method[] = "MIT-MAGIC-COOKIE-1";
  xcb_auth_info_t none{0, nullptr, 0, nullptr};
  xcb_connection_t* anonymous = xcb_connect_to_display_with_auth_info(name.c_str(), &none, nullptr);
  EXPECT_NE(xcb_connection_has_error(anonymous), 0);
  xcb_disconnect(anonymous);

  // A guessed cookie.
  char guess[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  xcb_auth_info_t wrong{static_cast<int>(sizeof method - 1), method, 16, guess};
  xcb_connection_t* guessed = xcb_connect_to_display_with_auth_info(name.c_str(), &wrong, nullptr);
  EXPECT_NE(xcb_connection_has_error(guessed), 0);
  xcb_disconnect(guessed);

  // The display's own authority file lets a client in, as it does the session command.
  std::string entry = readText(display->authorityFile());
  ASSERT_GE(entry.size(), 16u);
  xcb_auth_info_t right{static_cast<int>(sizeof method - 1), method, 16,
                        entry.data() + entry.size() - 16};
  xcb_connection_t* owner = xcb_connect_to_display_with_auth_info(name.c_str(), &right, nullptr);
  EXPECT_EQ(xcb_connection_has_error(owner), 0);
  xcb_disconnect(owner);
}

TEST_F(VirtualDisplayTest, TwoDisplaysAtOnceGetTheirOwnNumbersAndCookies) {
  auto first = VLVirtualDisplay::create({640, 480, 60});
  auto second = VLVirtualDisplay::create({800, 600, 60});
  EXPECT_NE(first->displayID(), second->displayID());
  EXPECT_NE(readText(first->authorityFile()), readText(second->authorityFile()));
  auto connection = x11::Connection::open(second->displayID());
  ASSERT_TRUE(connection);
  EXPECT_EQ(connection->width(), 800);
  Footprint firstFootprint(*first);
  first.reset();
  firstFootprint.expectGone();
  // Releasing one leaves the other alone.
  EXPECT_FALSE(connection->broken());
  EXPECT_TRUE(x11::Connection::open(second->displayID()));
}

TEST_F(VirtualDisplayTest, SessionRunsInAFreshLoginAndEverythingItStartedEndsWithTheDisplay) {
  TempDirectory scratch;
  const fs::path seen = scratch.path() / "seen";
  // What the host's own desktop would hand down, and must not reach the session.
  ::setenv("WAYLAND_DISPLAY", "wayland-host", 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/host/bus", 1);
  ::setenv("QT_QPA_PLATFORM", "wayland", 1);
  std::string command =
      escapingProcesses(scratch.path()) + "sleep 1000 & " +
      "{ echo \"$DISPLAY $XAUTHORITY $XDG_SESSION_TYPE $(ps -o pgid= $$)\"; env; } > " +
      seen.string() + ".tmp && mv " + seen.string() + ".tmp " + seen.string() + "; wait";
  auto display = VLVirtualDisplay::create({640, 480, 60, command});
  for (const char* name : {"WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM"}) {
    ::unsetenv(name);
  }
  ASSERT_NE(display->sessionProcess(), 0);
  Footprint footprint(*display);

  std::vector<pid_t> escaped = escapedPids(scratch.path());
  ASSERT_EQ(escaped.size(), 2u);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!fs::exists(seen) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  std::istringstream fields(readText(seen));
  std::string displayName, authority, type;
  pid_t group = 0;
  fields >> displayName >> authority >> type >> group;
  EXPECT_EQ(displayName, display->displayName());
  EXPECT_EQ(authority, display->authorityFile());
  EXPECT_EQ(type, "x11");
  EXPECT_EQ(group, display->sessionProcess());
  const std::string environment = readText(seen);
  EXPECT_EQ(environment.find("wayland"), std::string::npos) << environment;
  // Its own bus, from dbus-run-session.
  EXPECT_EQ(environment.find("/host/bus"), std::string::npos) << environment;
  if (!findExecutable("dbus-run-session").empty()) {
    EXPECT_NE(environment.find("DBUS_SESSION_BUS_ADDRESS="), std::string::npos) << environment;
  }
  ASSERT_TRUE(std::all_of(escaped.begin(), escaped.end(), processRuns));

  // Released as a mode change or a stop releases it: the whole tree goes within the keeper's
  // graces, detached and double-forked processes included.
  display.reset();
  footprint.expectGone();
  EXPECT_TRUE(allEnd(escaped, 2s));
}

TEST(VirtualDisplayFailureTest, EachFailureHasItsTextAndLeavesNoServer) {
  TempDirectory scratch;
  const fs::path marker = scratch.path() / "pid";
  auto fakeServer = [&](const std::string& body) {
    const fs::path bin = scratch.path() / "bin";
    fs::create_directories(bin);
    writeExecutable(bin / "Xvfb", "#!/bin/sh\necho $$ > " + marker.string() + "\n" + body);
    return bin.string();
  };
  auto failure = [](VirtualDisplayRequest request) -> std::string {
    try {
      VLVirtualDisplay::create(request);
    } catch (const RemoteError& error) {
      return error.what();
    }
    return "created";
  };

  VirtualDisplayRequest request{640, 480, 60};
  request.searchPath = (scratch.path() / "nowhere").string() + ":" + scratch.path().string();
  EXPECT_EQ(failure(request), "This system does not provide a virtual display server (Xvfb).");

  // A server that exits before it is ready.
  request.searchPath = fakeServer("exit 1\n");
  EXPECT_EQ(failure(request), "Virtual display creation failed.");

  // A server that refuses the size.
  request.searchPath = fakeServer("echo 'Invalid screen configuration 640x480x24' >&2\nexit 1\n");
  EXPECT_EQ(failure(request), "The virtual display server rejected the requested mode.");

  // A server that never says it is ready is ended once the start-up time is over.
  request.searchPath = fakeServer("exec sleep 1000\n");
  request.startTimeout = 300ms;
  EXPECT_EQ(failure(request), "Virtual display creation failed.");
  pid_t hung = std::atoi(readText(marker).c_str());
  EXPECT_FALSE(processExists(hung));

  // A server that reports display 0 (ours never asks for it).
  request.searchPath =
      fakeServer("for fd in 3 4; do echo 0 >&$fd; done 2>/dev/null\nexec sleep 1000\n");
  request.startTimeout = 5s;
  EXPECT_EQ(failure(request), "Virtual display has no display identifier.");
  EXPECT_FALSE(processExists(std::atoi(readText(marker).c_str())));

  // Sizes no X server can have are refused before anything starts.
  if (xvfbInstalled()) {
    EXPECT_EQ(failure({40000, 480, 60}), "The virtual display server rejected the requested mode.");
    EXPECT_EQ(failure({0, 480, 60}), "The virtual display server rejected the requested mode.");
  }
}

TEST(VirtualDisplayLauncherTest, CompletesOnTheMainQueueWithTheDisplayOrTheError) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  AsioMainQueue main;
  VirtualDisplayLauncher launcher(main);

  std::unique_ptr<VLVirtualDisplay> display;
  std::string error = "not called";
  bool onMain = false;
  launcher.launch({640, 480, 60}, [&](std::unique_ptr<VLVirtualDisplay> created, std::string text) {
    onMain = main.isCurrent();
    display = std::move(created);
    error = std::move(text);
  });
  ASSERT_TRUE(main.runUntil([&] { return error != "not called"; }, 30s));
  EXPECT_TRUE(onMain);
  ASSERT_TRUE(display);
  EXPECT_EQ(error, "");

  VirtualDisplayRequest missing{640, 480, 60};
  missing.searchPath = "/nonexistent";
  error = "not called";
  launcher.launch(missing, [&](std::unique_ptr<VLVirtualDisplay> created, std::string text) {
    EXPECT_FALSE(created);
    error = std::move(text);
  });
  ASSERT_TRUE(main.runUntil([&] { return error != "not called"; }, 30s));
  EXPECT_EQ(error, "This system does not provide a virtual display server (Xvfb).");
}

TEST(VirtualDisplayLauncherTest, ADisplayNobodyTakesIsReleased) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  pid_t server = 0;
  {
    AsioMainQueue main;
    VirtualDisplayLauncher launcher(main);
    // The completion never runs: the main queue is never run and goes away first.
    launcher.launch({640, 480, 60}, [](std::unique_ptr<VLVirtualDisplay>, std::string) {});
    // Watch for the server to appear; the launcher's destructor then waits for the creation.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      server = newestXvfbChild();
      if (server != 0) break;
      std::this_thread::sleep_for(5ms);
    }
  }
  ASSERT_NE(server, 0);
  EXPECT_FALSE(processExists(server));
}

}  // namespace
}  // namespace veltra

namespace veltra {
namespace {

// What a host killed together with its keeper leaves behind is removed by the next one; what a
// live host or server still owns is not.
TEST(VirtualDisplayLeftovers, OnlyWhatNoLiveProcessOwnsIsRemoved) {
  TempDirectory runtime;
  const std::string previous = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  const pid_t dead = ::fork();  // a pid that no process has any more
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  auto lock = [](int number, pid_t owner) {
    const fs::path path = "/tmp/.X" + std::to_string(number) + "-lock";
    std::ofstream(path) << owner << "\n";
    return path;
  };
  auto folder = [&](const std::string& name) {
    fs::create_directory(runtime.path() / name);
    std::ofstream(runtime.path() / name / "lock");
    return runtime.path() / name;
  };
  // A socket file nobody listens on, as a killed server leaves it.
  const fs::path staleSocket = "/tmp/.X11-unix/X997";
  fs::create_directories(staleSocket.parent_path());
  sockaddr_un address{AF_UNIX, {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", staleSocket.c_str());
  const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(socket);
  const fs::path staleLock = lock(997, dead), liveLock = lock(998, ::getpid());
  const fs::path staleFolder = folder("veltra-display-stale1");
  const fs::path liveFolder = folder("veltra-display-live01");
  const int held = ::open((liveFolder / "lock").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);

  VLVirtualDisplay::removeStaleFiles();
  for (const fs::path& path : {staleLock, staleSocket, staleFolder}) EXPECT_FALSE(fs::exists(path));
  for (const fs::path& path : {liveLock, liveFolder}) EXPECT_TRUE(fs::exists(path));

  ::close(held);
  fs::remove(liveLock);
  if (previous.empty())
    ::unsetenv("XDG_RUNTIME_DIR");
  else
    ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
}

}  // namespace
}  // namespace veltra
