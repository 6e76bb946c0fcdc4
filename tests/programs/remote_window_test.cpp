// The Veltra Remote Desktop window as a user drives it: the client application on one Xvfb, the
// host's own virtual display streaming the test pattern, with a small X client there recording
// the keys and clicks that arrive. xdotool clicks and types on the client's display.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QColor>
#include <QImage>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/x11_test_support.h"
#include "programs/program_support.h"
#include "protocol/RemoteConnectionProfile.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::joined;
using test::Program;

// The full path of `name` on PATH, or nothing.
std::string onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream directories(path ? path : "");
  for (std::string directory; std::getline(directories, directory, ':');) {
    const std::string candidate = directory + "/" + name;
    if (!directory.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::vector<std::string> readLines(const fs::path& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// Polls the recorder's file until a line equals `line`.
bool waitForRecord(const fs::path& path, const std::string& line,
                   std::chrono::seconds patience = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto lines = readLines(path);
    if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

TEST(RemoteWindow, AUserConnectsClicksAndTypesOnTheHostsDisplayAndReleasesWithTheChord) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  const std::string xdotool = onPath("xdotool");
  ASSERT_FALSE(xdotool.empty()) << "xdotool is missing: run scripts/setup.sh";
  TempDirectory scratch;
  const fs::path events = scratch.path() / "events.txt";
  const fs::path screenshot = scratch.path() / "window.png";

  // The client's display: the window, 1280×800 at the origin, covers it.
  Program server(onPath("Xvfb"), {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten",
                                  "tcp", "-noreset"});
  const auto number = server.waitForLine([](const std::string& line) {
    return !line.empty() && line.find_first_not_of("0123456789") == std::string::npos;
  });
  ASSERT_TRUE(number) << server.errors();
  const std::string display = "DISPLAY=:" + *number;

  test::RunningHost host({}, test::kTestPattern + " & exec '" + VELTRA_INPUT_RECORDER_PROGRAM +
                                 "' '" + events.string() + "'");
  ASSERT_TRUE(host.listening()) << joined(host.program.lines()) << host.program.errors();
  const fs::path profile = scratch.path() / "host.json";
  {
    RemoteConnectionProfile written("127.0.0.1", static_cast<uint16_t>(std::stoi(host.port)),
                                    host.key);
    const Bytes bytes = written.encoded();
    std::ofstream(profile, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

  Program remote(VELTRA_REMOTE_PROGRAM,
                 {profile.string(), "--connect", "--screenshot", screenshot.string()}, {},
                 {display, "QT_QPA_PLATFORM=xcb", "LIBGL_ALWAYS_SOFTWARE=1",
                  // Only read by a ThreadSanitizer build: Qt's, GLib's and Mesa's reports.
                  VELTRA_GUI_TSAN_OPTIONS,
                  // Only read by an AddressSanitizer build: Mesa unloads its driver before the
                  // leak check and what it keeps cannot be named then; the view's tests check
                  // the window's code for leaks with the driver kept loaded.
                  "ASAN_OPTIONS=detect_leaks=0"});
  ASSERT_TRUE(remote.waitForLine("Connected · 1920×1080 · target 60 fps"))
      << joined(remote.lines()) << remote.errors();
  ASSERT_TRUE(waitForRecord(events, "ready")) << joined(readLines(events));

  // A window that has died (a sanitizer's report ends it) must say so rather than look like
  // input that went missing.
  auto windowAlive = [&]() -> ::testing::AssertionResult {
    if (const auto code = remote.waitForExit(0ms)) {
      return ::testing::AssertionFailure() << "the window exited with " << *code << ":\n"
                                           << remote.errors();
    }
    return ::testing::AssertionSuccess();
  };
  auto run = [&](std::vector<std::string> arguments) {
    Program tool(xdotool, arguments, {}, {display});
    const auto code = tool.waitForExit();
    EXPECT_EQ(code, 0) << joined(tool.lines()) << tool.errors();
    return tool.lines();
  };
  const auto windows = run({"search", "--sync", "--name", "Veltra Remote Desktop"});
  ASSERT_FALSE(windows.empty());
  run({"windowfocus", windows.front()});
  std::this_thread::sleep_for(500ms);
  // Full screen hides the bars: the view is the whole display, the picture 1280×720 from y 40.
  run({"key", "F11"});
  std::this_thread::sleep_for(1s);

  // The click that starts capture is the remote computer's click too, at the same place.
  run({"mousemove", "640", "400", "click", "1"});
  EXPECT_TRUE(waitForRecord(events, "button press 1 960 540")) << joined(readLines(events));
  EXPECT_TRUE(waitForRecord(events, "button release 1 960 540")) << joined(readLines(events));
  ASSERT_TRUE(windowAlive());
  // While captured, every key is the remote's, F11 included.
  run({"key", "--delay", "60", "a", "b", "F11"});
  for (const char* line : {"key press 38", "key release 38", "key press 56", "key release 56",
                           "key press 95", "key release 95"}) {
    EXPECT_TRUE(waitForRecord(events, line)) << line << "\n" << joined(readLines(events));
  }
  ASSERT_TRUE(windowAlive());
  run({"mousemove", "320", "220", "click", "3"});
  EXPECT_TRUE(waitForRecord(events, "button press 3 480 270")) << joined(readLines(events));
  ASSERT_TRUE(windowAlive());

  // The chord lets go: neither it nor what follows reaches the host.
  run({"key", "ctrl+alt+super+Escape"});
  std::this_thread::sleep_for(500ms);
  run({"key", "c"});
  run({"mousemove", "100", "100", "click", "2"});
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(windowAlive());
  const auto recorded = readLines(events);
  auto seen = [&](const std::string& line) {
    return std::find(recorded.begin(), recorded.end(), line) != recorded.end();
  };
  EXPECT_FALSE(seen("key press 9")) << joined(recorded);   // Escape
  EXPECT_FALSE(seen("key press 54")) << joined(recorded);  // c
  EXPECT_FALSE(std::any_of(recorded.begin(), recorded.end(), [](const std::string& line) {
    return line.starts_with("button press 2");
  })) << joined(recorded);

  remote.signal(SIGUSR1);
  QImage image;
  // Sanitizer builds draw slowly: the grab may take a while.
  for (int attempt = 0; attempt < 600 && image.isNull(); ++attempt) {
    std::this_thread::sleep_for(100ms);
    image = QImage(QString::fromStdString(screenshot.string()));
  }
  ASSERT_TRUE(windowAlive());
  ASSERT_FALSE(image.isNull()) << remote.errors();
  ASSERT_EQ(image.size(), QSize(1280, 800));
  // Still full screen (F11 went to the remote): black bars above and below the picture.
  for (int x = 0; x < 1280; x += 40) {
    EXPECT_EQ(image.pixelColor(x, 10), QColor(Qt::black)) << x;
    EXPECT_EQ(image.pixelColor(x, 790), QColor(Qt::black)) << x;
  }
  // The test pattern fills the picture: colour nearly everywhere, and many colours.
  int coloured = 0, sampled = 0;
  std::set<QRgb> colours;
  for (int y = 44; y < 756; y += 8) {
    for (int x = 4; x < 1276; x += 8) {
      const QColor pixel = image.pixelColor(x, y);
      ++sampled;
      if (pixel.red() + pixel.green() + pixel.blue() > 30) ++coloured;
      colours.insert(qRgb(pixel.red() / 16, pixel.green() / 16, pixel.blue() / 16));
    }
  }
  EXPECT_GT(coloured, sampled * 9 / 10);
  EXPECT_GE(colours.size(), 6u);

  remote.signal(SIGTERM);
  EXPECT_EQ(remote.waitForExit(), 0) << remote.errors();
  EXPECT_EQ(remote.lines().back(), "Disconnected");
  host.program.signal(SIGINT);
  EXPECT_EQ(host.program.waitForExit(), 0) << joined(host.program.lines()) << host.program.errors();
}

}  // namespace
}  // namespace veltra
