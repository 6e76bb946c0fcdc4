#include <fcntl.h>
#include <gtest/gtest.h>
#include <opus.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/local/stream_protocol.hpp>
#include <cmath>
#include <mutex>
#include <sstream>

#include "harness/sound.h"
#include "host/x11/PulseAudioRecorder.h"
#include "host/x11/VLVirtualDisplay.h"
#include "host/x11/X11Connection.h"
#include "protocol/RemoteError.h"
#include "support/AsioMainQueue.h"
#include "x11_test_support.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using namespace test;
namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// What a display leaves on the machine while it lives; all of it must go with it.
struct Footprint {
  pid_t server, session, sound;
  fs::path lock, socket, directory;

  explicit Footprint(const VLVirtualDisplay& display)
      : server(display.serverProcess()),
        session(display.sessionProcess()),
        sound(display.soundProcess()),
        lock("/tmp/.X" + std::to_string(display.displayID()) + "-lock"),
        socket("/tmp/.X11-unix/X" + std::to_string(display.displayID())),
        directory(fs::path(display.authorityFile()).parent_path()) {}

  void expectGone() const {
    EXPECT_FALSE(readProcess(server)) << "server " << server;
    EXPECT_TRUE(session == 0 || !readProcess(session)) << "session " << session;
    EXPECT_TRUE(sound == 0 || !readProcess(sound)) << "sound " << sound;
    for (const fs::path& path : {lock, socket, directory}) EXPECT_FALSE(fs::exists(path)) << path;
  }
};

class VirtualDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  }
};

// Each mode starts a display of its own beside the last one, which then goes without touching it.
TEST_F(VirtualDisplayTest, DisplaysStartExactlyPrivatelyForTheCookieOnlyAndLeaveNothingBehind) {
  std::unique_ptr<VLVirtualDisplay> previous;
  for (const VirtualDisplayRequest& mode :
       {VirtualDisplayRequest{1920, 1080, 60}, VirtualDisplayRequest{2560, 1440, 120}}) {
    auto display = VLVirtualDisplay::create(mode);
    ASSERT_NE(display->displayID(), 0u);
    auto connection = x11::Connection::open(display->displayID());
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->width(), mode.width);
    EXPECT_EQ(connection->height(), mode.height);
    EXPECT_EQ(connection->screen()->root_depth, 24);
    EXPECT_NEAR(connection->screen()->width_in_millimeters, mode.width * 25.4 / 110, 1.0);

    // The cookie lives in a directory only we can enter, in a file only we can read.
    struct stat directory {
    }, file{};
    ASSERT_EQ(::stat(fs::path(display->authorityFile()).parent_path().c_str(), &directory), 0);
    ASSERT_EQ(::stat(display->authorityFile().c_str(), &file), 0);
    EXPECT_EQ(directory.st_mode & 0777, 0700u);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    // Reachable through its local socket only: no X port (6000 + N) over TCP.
    asio::io_context context;
    asio::ip::tcp::socket tcp(context);
    asio::error_code refused;
    tcp.connect({asio::ip::make_address("127.0.0.1"), uint16_t(6000 + display->displayID())},
                refused);
    EXPECT_TRUE(refused);
    // No credentials and a guessed cookie are refused; the display's own cookie lets a client in.
    static char method[] = "MIT-MAGIC-COOKIE-1";
    const std::string owner = readText(display->authorityFile());
    ASSERT_GE(owner.size(), 16u);
    char guess[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (const auto& [cookie, admitted] :
         {std::pair<char*, bool>{nullptr, false},
          {guess, false},
          {const_cast<char*>(owner.data()) + owner.size() - 16, true}}) {
      xcb_auth_info_t auth{cookie ? int(sizeof method - 1) : 0, method, cookie ? 16 : 0, cookie};
      xcb_connection_t* c =
          xcb_connect_to_display_with_auth_info(display->displayName().c_str(), &auth, nullptr);
      EXPECT_EQ(xcb_connection_has_error(c) == 0, admitted);
      xcb_disconnect(c);
    }

    if (previous) {
      EXPECT_NE(display->displayID(), previous->displayID());
      EXPECT_NE(readText(display->authorityFile()), readText(previous->authorityFile()));
      const Footprint footprint(*previous);
      previous.reset();
      footprint.expectGone();
      EXPECT_FALSE(connection->broken());
      EXPECT_TRUE(x11::Connection::open(display->displayID()));
    }
    previous = std::move(display);
  }
  const Footprint footprint(*previous);
  previous.reset();
  footprint.expectGone();
}

TEST_F(VirtualDisplayTest, SessionRunsInAFreshLoginAndEverythingItStartedEndsWithTheDisplay) {
  TempDirectory scratch;
  const fs::path seen = scratch.path() / "seen";
  // What the host's own desktop would hand down, and must not reach the session.
  ::setenv("WAYLAND_DISPLAY", "wayland-host", 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/host/bus", 1);
  const std::string command =
      escapingProcesses(scratch.path()) + "sleep 1000 & " +
      "{ echo \"$DISPLAY $XAUTHORITY $XDG_SESSION_TYPE $(ps -o pgid= $$)\"; env; } > " +
      seen.string() + ".tmp && mv " + seen.string() + ".tmp " + seen.string() + "; wait";
  auto display = VLVirtualDisplay::create({640, 480, 60, command});
  ::unsetenv("WAYLAND_DISPLAY");
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ASSERT_NE(display->sessionProcess(), 0);
  const Footprint footprint(*display);

  const std::vector<pid_t> escaped = escapedPids(scratch.path());
  ASSERT_EQ(escaped.size(), 2u);
  ASSERT_TRUE(waitUntil([&] { return fs::exists(seen); }));
  const std::string environment = readText(seen);
  std::istringstream fields(environment);
  std::string displayName, authority, type;
  pid_t group = 0;
  fields >> displayName >> authority >> type >> group;
  EXPECT_EQ(displayName, display->displayName());
  EXPECT_EQ(authority, display->authorityFile());
  EXPECT_EQ(type, "x11");
  EXPECT_EQ(group, display->sessionProcess());
  EXPECT_EQ(environment.find("wayland"), std::string::npos) << environment;
  EXPECT_EQ(environment.find("/host/bus"), std::string::npos) << environment;  // its own bus
  EXPECT_NE(environment.find("\nHOME="), std::string::npos) << environment;
  ASSERT_FALSE(display->soundServer().empty());
  EXPECT_NE(environment.find("\nPULSE_SERVER=unix:" + display->soundServer() + "\n"),
            std::string::npos)
      << environment;
  ASSERT_TRUE(std::all_of(escaped.begin(), escaped.end(), processRuns));

  // Released as a mode change or a stop releases it: the whole tree goes within the keeper's
  // graces, detached and double-forked processes included.
  display.reset();
  footprint.expectGone();
  EXPECT_TRUE(allEnd(escaped, 2s));
}

// Plays `seconds` of a 440 Hz sine at `amplitude` (of 32767; 0 for silence) into `display` as a
// program in it would, through PULSE_SERVER.
int play(const VLVirtualDisplay& display, const fs::path& scratch, int amplitude, double seconds) {
  const std::vector<int16_t> samples = sine(amplitude, seconds);
  std::ofstream(scratch / "sound.raw", std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * 2));
  return std::system(("PULSE_SERVER=unix:" + display.soundServer() +
                      " paplay --raw --format=s16le --rate=48000 --channels=2 " +
                      (scratch / "sound.raw").string())
                         .c_str());
}

TEST_F(VirtualDisplayTest, TheDisplaysSoundComesOutAsOpusFramesOnlyWhileSomethingPlays) {
  TempDirectory scratch;
  auto display = VLVirtualDisplay::create({320, 240, 60});
  ASSERT_FALSE(display->soundServer().empty());
  const Footprint footprint(*display);
  const auto started = std::chrono::steady_clock::now();
  std::mutex lock;
  std::vector<AudioPacket> packets;
  auto recorder = std::make_unique<PulseAudioRecorder>();
  recorder->onPacket = [&](AudioPacket packet) {
    std::lock_guard hold(lock);
    packets.push_back(std::move(packet));
  };
  recorder->start(display->displayID());
  auto count = [&] {
    std::lock_guard hold(lock);
    return packets.size();
  };

  ASSERT_EQ(play(*display, scratch.path(), 0, 0.3), 0);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(count(), 0u);
  ASSERT_EQ(play(*display, scratch.path(), 8'000, 0.5), 0);
  ASSERT_TRUE(waitUntil([&] { return count() >= 50; }));
  std::this_thread::sleep_for(300ms);  // the tone's end, then silence again
  std::lock_guard hold(lock);
  ASSERT_LE(packets.size(), 60u);
  // Counted through the silence: the first frame of the tone is as late as the tone was.
  EXPECT_GE(packets.front().sequence, 30u);
  EXPECT_LE(packets.front().sequence, (std::chrono::steady_clock::now() - started) / 10ms);

  // The stamps follow the sample clock; a stalled machine may shift them, not stretch the tone.
  EXPECT_NEAR(packets.back().captureTime - packets.front().captureTime,
              10'000.0 * (packets.back().sequence - packets.front().sequence), 40'000);
  int error = 0;
  OpusDecoder* decoder = opus_decoder_create(48'000, 2, &error);
  std::vector<int16_t> sound;
  for (size_t i = 0; i < packets.size(); ++i) {
    if (i > 0) {
      EXPECT_EQ(packets[i].sequence, packets[i - 1].sequence + 1);
    }
    int16_t frame[960 * 2];
    ASSERT_EQ(
        opus_decode(decoder, packets[i].opus.data(), int(packets[i].opus.size()), frame, 960, 0),
        480);
    sound.insert(sound.end(), frame, frame + 960);
  }
  opus_decoder_destroy(decoder);
  // The middle of the tone, away from its edges: a sine of 440 Hz at the level played, on both
  // channels.
  const std::span<const int16_t> middle(sound.data() + 2 * 48'000 / 20, 2 * 48'000 * 3 / 10);
  for (int channel = 0; channel < 2; ++channel) {
    EXPECT_NEAR(toneOf(middle, channel).hertz, 440, 10);
    EXPECT_NEAR(toneOf(middle, channel).rms, 8'000 / std::sqrt(2), 800);
  }

  // A sound server that dies ends the recording, and its socket goes with the display.
  ::kill(display->soundProcess(), SIGKILL);
  ASSERT_TRUE(waitUntil([&] { return !processRuns(display->soundProcess()); }));
  recorder.reset();
  display.reset();
  footprint.expectGone();
}

TEST(VirtualDisplayFailureTest, EachFailureHasItsTextAndLeavesNoServer) {
  TempDirectory scratch;
  const fs::path bin = scratch.path() / "bin", marker = scratch.path() / "pid";
  fs::create_directories(bin);
  const struct {
    const char* server;  // the body of a fake Xvfb, or null for none installed
    std::chrono::milliseconds startTimeout;
    const char* text;
    int width = 640;
  } cases[] = {
      {nullptr, 5s, "This system does not provide a virtual display server (Xvfb)."},
      {"exit 1", 5s, "Virtual display creation failed."},
      {"echo 'Invalid screen configuration 640x480x24' >&2; exit 1", 5s,
       "The virtual display server rejected the requested mode."},
      {"exec sleep 1000", 300ms, "Virtual display creation failed."},  // never ready
      {"for fd in 3 4; do echo 0 >&$fd; done 2>/dev/null; exec sleep 1000", 5s,
       "Virtual display has no display identifier."},  // ours never asks for display 0
      // Sizes no X server can have are refused before the server starts.
      {"exit 1", 5s, "The virtual display server rejected the requested mode.", 40000},
      {"exit 1", 5s, "The virtual display server rejected the requested mode.", 0},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.server ? each.server : "none");
    fs::remove(bin / "Xvfb");
    if (each.server)
      writeExecutable(bin / "Xvfb",
                      "#!/bin/sh\necho $$ > " + marker.string() + "\n" + each.server + "\n");
    VirtualDisplayRequest request{each.width, 480, 60};
    request.searchPath = bin.string();
    request.startTimeout = each.startTimeout;
    EXPECT_THROW(
        try { VLVirtualDisplay::create(request); } catch (const RemoteError& error) {
          EXPECT_STREQ(error.what(), each.text);
          throw;
        },
        RemoteError);
    if (each.server) {
      EXPECT_FALSE(readProcess(std::atoi(readText(marker).c_str())));
    }
  }
}

TEST_F(VirtualDisplayTest, TheLauncherCompletesOnTheMainQueueWithTheDisplayOrTheError) {
  AsioMainQueue main;
  VirtualDisplayLauncher launcher(main);
  std::vector<std::pair<bool, std::string>> completions;  // a display or not, the error
  VirtualDisplayRequest missing{640, 480, 60};
  missing.searchPath = "/nonexistent";
  for (const VirtualDisplayRequest& request : {VirtualDisplayRequest{640, 480, 60}, missing}) {
    launcher.launch(request, [&](std::unique_ptr<VLVirtualDisplay> display, std::string error) {
      EXPECT_TRUE(main.isCurrent());
      completions.emplace_back(display != nullptr, error);
    });
  }
  ASSERT_TRUE(main.runUntil([&] { return completions.size() == 2; }, kPatience));
  EXPECT_EQ(completions[0], std::make_pair(true, std::string()));
  EXPECT_FALSE(completions[1].first);
  EXPECT_FALSE(completions[1].second.empty());
}

TEST_F(VirtualDisplayTest, TheLauncherReleasesADisplayWhoseCompletionNeverRuns) {
  pid_t server = 0;
  {
    AsioMainQueue main;  // never run, and gone after the launcher, which waits for the creation
    VirtualDisplayLauncher launcher(main);
    launcher.launch({640, 480, 60}, [](std::unique_ptr<VLVirtualDisplay>, std::string) {});
    ASSERT_TRUE(waitUntil([&] { return !runningXvfbChildren().empty(); }));
    server = runningXvfbChildren().back();
  }
  EXPECT_FALSE(readProcess(server));
}

// What a host killed together with its keeper leaves behind is removed by the next one; what a
// live host or server still owns is not.
TEST(VirtualDisplayLeftovers, OnlyWhatNoLiveProcessOwnsIsRemoved) {
  TempDirectory runtime;
  const char* previous = std::getenv("XDG_RUNTIME_DIR");
  const std::string previousRuntime = previous ? previous : "";
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
  asio::io_context context;
  asio::local::stream_protocol::acceptor(context, staleSocket.string()).close();
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
  if (previous)
    ::setenv("XDG_RUNTIME_DIR", previousRuntime.c_str(), 1);
  else
    ::unsetenv("XDG_RUNTIME_DIR");
}

// A server that ignored our lock took the number while ours was starting: its socket and lock
// stay when our start fails. A socket our own server left behind (killed) goes with the display.
TEST_F(VirtualDisplayTest, OnlyTheLockAndSocketOfOurOwnServerAreRemoved) {
  TempDirectory scratch;
  const fs::path bin = scratch.path() / "bin", other = scratch.path() / "other";
  fs::create_directories(bin);
  asio::io_context context;
  asio::local::stream_protocol::acceptor listener(context, other.string());
  // The other server moves in between our check and our server's start.
  writeExecutable(bin / "Xvfb", "#!/bin/sh\nn=${1#:}\necho $n > " +
                                    (scratch.path() / "n").string() + "\nmv " + other.string() +
                                    " /tmp/.X11-unix/X$n\nrm -f /tmp/.X$n-lock\n"
                                    "echo $$ > /tmp/.X$n-lock\n"
                                    "echo 'Invalid screen configuration' >&2\nexit 1\n");
  VirtualDisplayRequest request{640, 480, 60};
  request.searchPath = bin.string();
  EXPECT_THROW(VLVirtualDisplay::create(request), RemoteError);
  const std::string number = std::to_string(std::atoi(readText(scratch.path() / "n").c_str()));
  const fs::path socket = "/tmp/.X11-unix/X" + number, lock = "/tmp/.X" + number + "-lock";
  EXPECT_TRUE(fs::exists(lock) && fs::is_socket(socket));
  fs::remove(socket);
  fs::remove(lock);
  listener.close();

  auto display = VLVirtualDisplay::create({640, 480, 60});
  const Footprint footprint(*display);
  ::kill(display->serverProcess(), SIGKILL);
  ASSERT_TRUE(waitUntil([&] { return !display->alive(); }));
  EXPECT_TRUE(fs::exists(footprint.socket));
  display.reset();
  footprint.expectGone();
}

}  // namespace
}  // namespace veltra
