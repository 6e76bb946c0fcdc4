// veltra-pointer-latency: how long the pointer takes to get where the user put it.
//
//   veltra-pointer-latency --port N --key-file FILE [--moves N] [--mode WxH@FPS]
//   veltra-pointer-latency --local DISPLAY [--moves N]
//
// With --port it connects to a host on this machine as a base client (no extensions offered, so
// the host draws its pointer into the picture), sends `move` input to two places in turn, and
// per move takes the time from sending it to the first decoded picture that shows the pointer
// there: a luma sample above 100 within 24 pixels of the target. The host should run no session
// (`--session none`): on its black, empty screen the pointer is the only thing that is not black.
// The key comes from FILE, or standard input for -.
//
// With --local it measures the pointer that a client's own window system draws, for the cursor
// extension: it moves the pointer of X display DISPLAY (":N") with XTEST on one connection and
// takes the time until the server, asked on a second connection, reports the pointer at the new
// place. That is the X server's own work; how soon the display then shows its cursor (a hardware
// cursor plane at the next scan-out, a software one at once) is not measured.
//
// Each move waits for the last one and a random 20 to 70 ms, so that moves fall at every phase
// of the host's frame clock. A move that is not seen within a second counts as missed. Prints
// "pointer latency median M ms · p95 P ms over N moves" and exits 0, or 1 when fewer than half
// the moves were seen.

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <asio/signal_set.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/RemoteClient.h"
#include "command_line.h"
#include "print_line.h"
#include "protocol/RemoteAuthentication.h"
#include "support/AsioMainQueue.h"

namespace {

using Clock = std::chrono::steady_clock;
using veltra::printLine;

const char kSynopsis[] =
    "veltra-pointer-latency --port N --key-file FILE [--moves N] [--mode WxH@FPS]\n"
    "       veltra-pointer-latency --local DISPLAY [--moves N]";

constexpr auto kGiveUp = std::chrono::seconds(1);
// The two places the pointer goes to in turn, as fractions of the screen.
constexpr double kPlaces[2][2] = {{0.25, 0.5}, {0.75, 0.5}};

// "... median M ms · p95 P ms over N moves", nearest rank; false when under half were seen.
bool report(std::vector<double> milliseconds, int moves) {
  const int seen = static_cast<int>(milliseconds.size());
  if (seen == 0) {
    printLine("pointer latency: no move was seen in " + std::to_string(moves));
    return false;
  }
  std::sort(milliseconds.begin(), milliseconds.end());
  const auto rank = [&](double share) {
    return milliseconds[static_cast<size_t>(std::ceil(share * seen)) - 1];
  };
  char line[160];
  std::snprintf(line, sizeof line,
                "pointer latency median %.2f ms · p95 %.2f ms · max %.2f ms over %d moves (%d "
                "missed)",
                rank(0.5), rank(0.95), milliseconds.back(), seen, moves - seen);
  printLine(line);
  return 2 * seen >= moves;
}

// Whether the picture shows something bright within 24 pixels of (x, y).
bool pointerNear(const veltra::RemoteFrame& frame, int x, int y) {
  const uint8_t* luma = frame.plane(0);
  for (int row = std::max(0, y - 24); row < std::min(frame.height(), y + 24); ++row) {
    for (int column = std::max(0, x - 24); column < std::min(frame.width(), x + 24); ++column) {
      if (luma[row * frame.stride(0) + column] > 100) return true;
    }
  }
  return false;
}

// THREADING: main thread only, as the client it drives.
class VideoRun {
 public:
  VideoRun(veltra::AsioMainQueue& main, veltra::RemoteClient& client, int moves)
      : main_(main), client_(client), moves_(moves) {
    client_.onFrame = [this](const std::shared_ptr<const veltra::RemoteFrame>& frame) {
      seen(*frame);
    };
  }

  const std::vector<double>& milliseconds() const { return milliseconds_; }

 private:
  void seen(const veltra::RemoteFrame& frame) {
    if (!started_) {
      started_ = true;
      // Input goes on once a picture is held; posted, so as not to reenter the client from
      // inside its callback.
      main_.post([this] {
        client_.setInputEnabled(true);
        move();
      });
      return;
    }
    if (!sentAt_) return;
    const auto& place = kPlaces[made_ % 2];
    if (!pointerNear(frame, static_cast<int>(place[0] * frame.width()),
                     static_cast<int>(place[1] * frame.height()))) {
      return;
    }
    milliseconds_.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - *sentAt_).count());
    next();
  }

  void move() {
    if (made_ == moves_) {
      main_.stop();
      return;
    }
    ++made_;
    veltra::RemoteInput input;
    input.kind = veltra::RemoteInput::Kind::move;
    input.x = kPlaces[made_ % 2][0];
    input.y = kPlaces[made_ % 2][1];
    sentAt_ = Clock::now();
    client_.send(input);
    const int move = made_;
    giveUp_ = main_.postDelayed(kGiveUp, [this, move] {
      if (made_ == move) next();
    });
  }

  void next() {
    sentAt_.reset();
    giveUp_.cancel();
    pause_ = main_.postDelayed(std::chrono::milliseconds(gap_(random_)), [this] { move(); });
  }

  veltra::AsioMainQueue& main_;
  veltra::RemoteClient& client_;
  const int moves_;
  bool started_ = false;
  int made_ = 0;
  std::optional<Clock::time_point> sentAt_;
  std::vector<double> milliseconds_;
  veltra::TaskHandle giveUp_;
  veltra::TaskHandle pause_;
  std::minstd_rand random_{20261208};
  std::uniform_int_distribution<int> gap_{20, 70};
};

int measureVideo(int port, const std::string& keyFile, veltra::RemoteConfiguration mode,
                 int moves) {
  std::string key;
  if (keyFile == "-") {
    key.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream file(keyFile, std::ios::binary);
    key.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  veltra::AsioMainQueue main;
  veltra::RemoteClient client(main);  // no extensions: a base-protocol peer
  client.setAddress("127.0.0.1");
  client.setPort(std::to_string(port));
  client.setConnectionKey(key);
  veltra::RemoteAuthentication::wipeKeyText(key);
  client.setConfiguration(mode);
  VideoRun run(main, client, moves);
  bool attempted = false, measuring = true;
  client.changes().add([&] {
    if (measuring && attempted && !client.connecting() && !client.connected()) {
      printLine(client.status());
      main.stop();
    }
  });
  asio::signal_set signals(main.context(), SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code& error, int) {
    if (!error) main.stop();
  });
  client.connect();
  attempted = client.connecting();
  if (attempted) {
    main.run();
  } else {
    printLine(client.status());  // what the client made of the address, port or key
  }
  signals.cancel();
  measuring = false;
  if (client.connecting() || client.connected()) client.disconnect("Disconnected");
  return report(run.milliseconds(), moves) ? 0 : 1;
}

int measureLocal(const std::string& display, int moves) {
  xcb_connection_t* mover = xcb_connect(display.c_str(), nullptr);
  xcb_connection_t* observer = xcb_connect(display.c_str(), nullptr);
  const auto closeBoth = [&] {
    xcb_disconnect(mover);
    xcb_disconnect(observer);
  };
  if (xcb_connection_has_error(mover) || xcb_connection_has_error(observer)) {
    closeBoth();
    std::fprintf(stderr, "veltra-pointer-latency: cannot open display %s\n", display.c_str());
    return 1;
  }
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(mover)).data;
  std::minstd_rand random{20261208};
  std::uniform_int_distribution<int> gap{20, 70};
  std::vector<double> milliseconds;
  for (int made = 1; made <= moves; ++made) {
    const auto x = static_cast<int16_t>(kPlaces[made % 2][0] * screen->width_in_pixels);
    const auto y = static_cast<int16_t>(kPlaces[made % 2][1] * screen->height_in_pixels);
    const Clock::time_point sent = Clock::now();
    xcb_test_fake_input(mover, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, screen->root, x, y, 0);
    xcb_flush(mover);
    while (Clock::now() - sent < kGiveUp) {
      std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)> pointer(
          xcb_query_pointer_reply(observer, xcb_query_pointer(observer, screen->root), nullptr),
          &std::free);
      if (!pointer) break;
      if (pointer->root_x == x && pointer->root_y == y) {
        milliseconds.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        break;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
  }
  closeBoth();
  return report(milliseconds, moves) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  veltra::CommandLine commandLine("veltra-pointer-latency",
                                  "How long the pointer takes to get where it was moved to.",
                                  kSynopsis);
  CLI::App& app = commandLine.app();
  int port = 0, moves = 100, width = 1920, height = 1080, fps = 60;
  std::string keyFile, local, mode = "1920x1080@60";
  auto* portOption = app.add_option("--port", port, "A host on this machine")
                         ->type_name("N")
                         ->check(CLI::Range(1, 65535));
  app.add_option("--key-file", keyFile, "Its connection key; - reads standard input")
      ->type_name("FILE");
  app.add_option("--mode", mode, "The stream's mode (default 1920x1080@60)")->type_name("WxH@FPS");
  auto* localOption = app.add_option("--local", local, "An X display whose own pointer is measured")
                          ->type_name("DISPLAY");
  app.add_option("--moves", moves, "How many moves (default 100)")
      ->type_name("N")
      ->check(CLI::Range(1, 100000));
  if (auto done = commandLine.parse(argc, argv)) return *done;
  if ((portOption->count() > 0) == (localOption->count() > 0)) {
    return commandLine.usageError("give either --port or --local");
  }
  if (localOption->count() > 0) return measureLocal(local, moves);
  if (keyFile.empty()) return commandLine.usageError("--port needs --key-file");
  if (std::sscanf(mode.c_str(), "%dx%d@%d", &width, &height, &fps) != 3 ||
      !veltra::RemoteConfiguration{width, height, fps}.isValid()) {
    return commandLine.usageError(mode + " is not a mode such as 1920x1080@60");
  }
  return measureVideo(port, keyFile, {width, height, fps}, moves);
}
