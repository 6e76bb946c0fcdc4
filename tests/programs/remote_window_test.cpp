// The window on one Xvfb, driven by xdotool and xclip, against a real host whose display records
// the input that arrives.

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <QColor>
#include <QImage>
#include <set>
#include <sstream>

#include "harness/xvfb.h"
#include "programs/program_support.h"
#include "protocol/RemoteConnectionProfile.h"

namespace veltra {
namespace {

using namespace test;

// The pointer's image on `display` as XFIXES reports it: width, height, then the pixels.
std::vector<uint32_t> pointerOn(const std::string& display) {
  xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
  std::vector<uint32_t> image;
  free(xcb_xfixes_query_version_reply(connection, xcb_xfixes_query_version(connection, 4, 0),
                                      nullptr));
  if (auto* reply = xcb_xfixes_get_cursor_image_reply(
          connection, xcb_xfixes_get_cursor_image(connection), nullptr)) {
    const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply);
    image = {reply->width, reply->height};
    image.insert(image.end(), pixels, pixels + reply->width * reply->height);
    free(reply);
  }
  xcb_disconnect(connection);
  return image;
}

TEST(RemoteWindow, AUserConnectsClicksTypesAndCopiesOnTheHostsDisplayAndReleasesWithTheChord) {
  if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
  const std::string xdotool = onPath("xdotool");
  ASSERT_FALSE(xdotool.empty()) << "xdotool is missing: run scripts/setup.sh";
  TempDirectory scratch;
  const fs::path eventsFile = scratch.path() / "events.txt",
                 screenshot = scratch.path() / "window.png",
                 sessionEnvironment = scratch.path() / "session.env";
  XvfbServer server("1280x800x24");
  ASSERT_FALSE(server.display().empty()) << server.errors();
  const std::string display = "DISPLAY=" + server.display();

  RunningHost host({}, "env > '" + sessionEnvironment.string() + "'; " + kTestPattern +
                           " & exec '" + VELTRA_INPUT_RECORDER_PROGRAM + "' '" +
                           eventsFile.string() + "'");
  ASSERT_TRUE(host.listening()) << joined(host.program.lines()) << host.program.errors();
  const fs::path profile = scratch.path() / "host.json";
  std::ofstream(profile) << asText(
      RemoteConnectionProfile("127.0.0.1", uint16_t(std::stoi(host.port)), host.key).encoded());

  Program remote(VELTRA_REMOTE_PROGRAM,
                 {profile.string(), "--connect", "--screenshot", screenshot.string()}, {},
                 // Sanitizer builds only: Qt's, GLib's and Mesa's reports silenced, and no leak
                 // check (Mesa's unloaded driver cannot be named; the view's tests check ours).
                 {display, "QT_QPA_PLATFORM=xcb", "LIBGL_ALWAYS_SOFTWARE=1",
                  VELTRA_GUI_TSAN_OPTIONS, "ASAN_OPTIONS=detect_leaks=0"});
  ASSERT_TRUE(remote.waitForLine(kConnected)) << joined(remote.lines()) << remote.errors();
  const auto events = [&] { return "\n" + readBytes(eventsFile); };
  const auto recorded = [&](const std::string& line) {
    return waitUntil([&] { return events().find("\n" + line + "\n") != std::string::npos; });
  };
  ASSERT_TRUE(recorded("ready")) << events();

  const auto user = [&](std::vector<std::string> arguments) {
    Program tool(xdotool, arguments, {}, {display});
    EXPECT_EQ(tool.waitForExit(), 0) << joined(tool.lines()) << tool.errors();
  };
  // The window as it shows now, saved on SIGUSR1; sanitizer builds draw slowly.
  const auto grab = [&] {
    fs::remove(screenshot);
    remote.signal(SIGUSR1);
    QImage image;
    waitUntil([&] { return image.load(QString::fromStdString(screenshot.string())); });
    return image;
  };
  user({"search", "--sync", "--name", "Veltra Remote Desktop", "windowfocus", "--sync"});
  const std::vector<uint32_t> arrow = pointerOn(server.display());
  // Full screen hides the bars: the view is the whole display, the picture 1280×720 from y 40.
  user({"key", "F11"});
  ASSERT_TRUE(waitUntil([&] { return grab().pixelColor(640, 10) == QColor(Qt::black); }))
      << remote.errors();

  // The click that starts capture is the remote computer's click too, at the same place.
  user({"mousemove", "640", "400", "click", "1"});
  EXPECT_TRUE(recorded("button press 1 960 540") && recorded("button release 1 960 540"))
      << events();
  // While captured, the pointer over the picture is the host's image, drawn here.
  // (Without the extension it would be a blank one, the host's pointer being in the video.)
  EXPECT_TRUE(waitUntil([&] {
    const std::vector<uint32_t> pointer = pointerOn(server.display());
    return pointer != arrow && pointer.size() > 2 &&
           std::any_of(pointer.begin() + 2, pointer.end(),
                       [](uint32_t pixel) { return pixel >> 24; });
  }));

  // Text copied on either display pastes on the other, through real selections.
  const std::string xclip = onPath("xclip");
  ASSERT_FALSE(xclip.empty()) << "xclip is missing: run scripts/setup.sh";
  std::vector<std::string> session;  // the host display's DISPLAY and XAUTHORITY
  std::istringstream sessionLines(readBytes(sessionEnvironment));
  for (std::string line; std::getline(sessionLines, line);) {
    if (line.starts_with("DISPLAY=") || line.starts_with("XAUTHORITY=")) session.push_back(line);
  }
  // The texts end in a new line: the output is read by lines.
  const auto pasted = [&](const std::vector<std::string>& on, const std::string& text) {
    return waitUntil([&] {
      Program paste(xclip, {"-o", "-selection", "clipboard"}, {}, on);
      return paste.waitForExit() == 0 && joined(paste.lines()) == text + "\n";
    });
  };
  Program hostCopy(xclip, {"-i", "-quiet", "-selection", "clipboard"}, "Grüße, 世界 ✓\n", session);
  EXPECT_TRUE(pasted({display}, "Grüße, 世界 ✓"));
  Program clientCopy(xclip, {"-i", "-quiet", "-selection", "clipboard"}, "Zwölf Boxkämpfer\n",
                     {display});
  EXPECT_TRUE(pasted(session, "Zwölf Boxkämpfer"));
  // While captured, every key is the remote's, F11 included.
  user({"key", "--delay", "60", "a", "b", "F11"});
  for (const std::string key : {"38", "56", "95"}) {
    EXPECT_TRUE(recorded("key press " + key) && recorded("key release " + key)) << events();
  }
  user({"mousemove", "320", "220", "click", "3"});
  EXPECT_TRUE(recorded("button press 3 480 270")) << events();

  // The chord lets go: neither it nor what follows reaches the host, up to the left click that
  // captures again (events arrive in order, so that one arriving means the others would have).
  user({"key", "ctrl+alt+super+Escape"});
  EXPECT_TRUE(waitUntil([&] { return pointerOn(server.display()) == arrow; }));
  user({"key", "c"});
  user({"mousemove", "100", "100", "click", "2"});
  user({"mousemove", "320", "220", "click", "1"});
  EXPECT_TRUE(recorded("button press 1 480 270")) << events() << remote.errors();
  const std::string seen = events();
  for (const char* never :
       {"\nkey press 9\n" /* Escape */, "\nkey press 54\n" /* c */, "\nbutton press 2 "})
    EXPECT_EQ(seen.find(never), std::string::npos) << seen;

  // Still full screen (F11 went to the remote), and the test pattern in the picture.
  const QImage image = grab();
  ASSERT_EQ(image.size(), QSize(1280, 800)) << remote.errors();
  EXPECT_TRUE(image.pixel(640, 10) == qRgb(0, 0, 0) && image.pixel(640, 790) == qRgb(0, 0, 0));
  int coloured = 0, sampled = 0;
  std::set<QRgb> colours;
  for (int y = 44; y < 756; y += 8) {
    for (int x = 4; x < 1276; x += 8, ++sampled) {
      const QColor pixel = image.pixelColor(x, y);
      if (pixel.red() + pixel.green() + pixel.blue() > 30) ++coloured;
      colours.insert(qRgb(pixel.red() / 16, pixel.green() / 16, pixel.blue() / 16));
    }
  }
  EXPECT_GT(coloured, sampled * 9 / 10);
  EXPECT_GE(colours.size(), 6u);

  remote.signal(SIGTERM);
  EXPECT_EQ(remote.waitForExit(), 0) << remote.errors();
  EXPECT_EQ(remote.lines().back(), "Disconnected");
}

}  // namespace
}  // namespace veltra
