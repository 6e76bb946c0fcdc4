// veltra-remote: connects to a Veltra host and streams its display.
//
//   veltra-remote [PROFILE.json] [--connect]
//   veltra-remote --headless (--profile FILE | --address HOST [--port N] --key-file FILE)
//                 [--mode 1920x1080@60] [--seconds S] [--snapshot FILE.png]
//                 [--latency FILE.csv [--warm-up S]]
//
// Without --headless it opens the Veltra Remote Desktop window, with PROFILE.json imported and,
// with --connect, connected at once. Scripts may add --screenshot FILE.png (SIGUSR1 saves the
// window there) and --statistics (the frame rates and the round trip every second).
//
// Headless, it prints every new status line and, once a second while connected, the decoded
// frame rate and the round trip. It ends after S seconds, on SIGINT or SIGTERM, or when the
// session ends by itself, and exits 0 if the session reached "Connected · …", 1 if not, 2 for bad
// arguments. The key comes from a file or, with --key-file -, from standard input: never from
// the command line, where any local user could read it.
//
// With --latency, it reads the latency stamp of every picture (the test pattern draws one; see
// latency_stamp.h) as the picture arrives, writes one line per picture to FILE.csv at the end and
// prints the latency percentiles and the pictures per second. Pictures in the first S seconds
// after the first one (--warm-up) are left out of both.

#include <asio/signal_set.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include "RemoteDesktopApp.h"
#include "client/RemoteClient.h"
#include "latency_recorder.h"
#include "latency_stamp.h"
#include "png_snapshot.h"
#include "print_line.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteConnectionProfile.h"
#include "protocol/RemoteError.h"
#include "support/Allocator.h"
#include "support/AsioMainQueue.h"
#include "support/ProcessProtection.h"

namespace {

using veltra::printLine;

const char kUsage[] =
    "usage: veltra-remote [PROFILE.json] [--connect]\n"
    "       veltra-remote --headless (--profile FILE | --address HOST [--port N] --key-file FILE)\n"
    "                     [--mode WIDTHxHEIGHT@FPS] [--seconds S] [--snapshot FILE.png]\n"
    "                     [--latency FILE.csv [--warm-up S]]";

struct Arguments {
  bool headless = false;
  std::string profile;
  std::string address;
  std::optional<std::string> port;
  std::string keyFile;
  std::optional<veltra::RemoteConfiguration> mode;
  std::optional<double> seconds;
  std::string snapshot;
  std::string latency;
  std::optional<double> warmUp;
};

int usageError(const std::string& problem) {
  std::fprintf(stderr, "veltra-remote: %s\n%s\n", problem.c_str(), kUsage);
  return 2;
}

// WIDTHxHEIGHT@FPS, digits only, nothing after.
std::optional<veltra::RemoteConfiguration> parseMode(const std::string& text) {
  if (text.find_first_not_of("0123456789x@") != std::string::npos) return std::nullopt;
  int width = 0, height = 0, fps = 0, used = 0;
  if (std::sscanf(text.c_str(), "%5dx%5d@%3d%n", &width, &height, &fps, &used) != 3 ||
      used != static_cast<int>(text.size())) {
    return std::nullopt;
  }
  return veltra::RemoteConfiguration{width, height, fps};
}

std::optional<std::string> readAll(const std::string& path) {
  if (path == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool isHeadless(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--headless") return true;
  }
  return false;
}

// The window's arguments: an optional profile, --connect, and for scripts --screenshot FILE.png
// (SIGUSR1 saves the window there) and --statistics (rates and round trip every second).
std::optional<std::string> parseWindow(int argc, char** argv,
                                       veltra::RemoteDesktopOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--connect") {
      options.connect = true;
    } else if (argument == "--screenshot" && i + 1 < argc) {
      options.screenshot = argv[++i];
    } else if (argument == "--statistics") {
      options.statistics = true;
    } else if (argument.starts_with("--")) {
      return argument + " needs --headless; the window takes [PROFILE.json] [--connect]";
    } else if (options.profile.empty()) {
      options.profile = argument;
    } else {
      return "unexpected argument \"" + argument + "\"";
    }
  }
  if (options.connect && options.profile.empty()) return "--connect needs a profile";
  // Qt cannot open a window without a display server and would abort; say so instead.
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
      !std::getenv("QT_QPA_PLATFORM")) {
    return "no display to open the window on (DISPLAY is not set); use --headless";
  }
  return std::nullopt;
}

// Fills `arguments`; returns the problem, or nothing when they are usable.
std::optional<std::string> parse(int argc, char** argv, Arguments& arguments) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--headless") {
      arguments.headless = true;
      continue;
    }
    if (i + 1 >= argc) return "unexpected argument \"" + option + "\"";
    const std::string value = argv[++i];
    if (option == "--profile") {
      arguments.profile = value;
    } else if (option == "--address") {
      arguments.address = value;
    } else if (option == "--port") {
      arguments.port = value;  // the client checks it as the user typed it
    } else if (option == "--key-file") {
      arguments.keyFile = value;
    } else if (option == "--mode") {
      arguments.mode = parseMode(value);
      if (!arguments.mode || !arguments.mode->isValid()) {
        return "--mode takes 1920x1080 or 2560x1440 at 60 or 120, e.g. 1920x1080@60";
      }
    } else if (option == "--seconds" || option == "--warm-up") {
      char* end = nullptr;
      double seconds = std::strtod(value.c_str(), &end);
      if (*end != '\0' || !(seconds > 0) || seconds > 1e6)
        return option + " takes a positive number";
      (option == "--seconds" ? arguments.seconds : arguments.warmUp) = seconds;
    } else if (option == "--snapshot") {
      arguments.snapshot = value;
    } else if (option == "--latency") {
      arguments.latency = value;
    } else {
      return "unexpected argument \"" + option + "\"";
    }
  }
  if (arguments.warmUp && arguments.latency.empty()) return "--warm-up needs --latency";
  if (arguments.profile.empty() == arguments.address.empty()) {
    return "give either --profile or --address";
  }
  if (!arguments.profile.empty() && (!arguments.keyFile.empty() || arguments.port)) {
    return "--profile already holds the port and the key";
  }
  if (!arguments.address.empty() && arguments.keyFile.empty()) {
    return "--address needs --key-file (use - to read the key from standard input)";
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  if (!isHeadless(argc, argv)) {
    veltra::RemoteDesktopOptions options;
    if (auto problem = parseWindow(argc, argv, options)) return usageError(*problem);
    return veltra::runRemoteDesktop(argc, argv, options);
  }

  Arguments arguments;
  if (auto problem = parse(argc, argv, arguments)) return usageError(*problem);
  // Before the key is read.
  veltra::protectProcessMemory();

  veltra::RemoteConfiguration configuration{1920, 1080, 60};
  std::string address = arguments.address;
  std::string port = arguments.port.value_or("9876");
  std::string key;
  if (!arguments.profile.empty()) {
    auto bytes = readAll(arguments.profile);
    if (!bytes) return usageError("cannot read " + arguments.profile);
    try {
      auto profile = veltra::RemoteConnectionProfile::decode(veltra::asBytes(*bytes));
      address = profile.address;
      port = std::to_string(profile.port);
      key = profile.connectionKey;
      configuration = profile.configuration;
      veltra::RemoteAuthentication::wipeKeyText(profile.connectionKey);
      veltra::RemoteAuthentication::wipeKeyText(*bytes);
    } catch (const std::exception& error) {
      return usageError(arguments.profile + ": " + error.what());
    }
  } else {
    auto text = readAll(arguments.keyFile);
    if (!text) return usageError("cannot read " + arguments.keyFile);
    key = *text;
    veltra::RemoteAuthentication::wipeKeyText(*text);
  }
  if (arguments.mode) configuration = *arguments.mode;
  // Opened now, so that a path that cannot be written fails before the session, not after it.
  std::ofstream latencyFile;
  std::optional<veltra::LatencyRecorder> recorder;
  if (!arguments.latency.empty()) {
    latencyFile.open(arguments.latency, std::ios::trunc);
    if (!latencyFile) return usageError("cannot write " + arguments.latency);
    recorder.emplace(static_cast<int64_t>(arguments.warmUp.value_or(0) * 1e6));
  }
  std::chrono::nanoseconds readingTime{0};
  int readings = 0;

  veltra::tuneAllocatorForStreaming();
  veltra::AsioMainQueue main;
  bool reachedConnected = false;
  std::shared_ptr<const veltra::RemoteFrame> newest;
  {
    veltra::RemoteClient client(main);
    client.setAddress(address);
    client.setPort(port);
    client.setConnectionKey(key);
    client.setConfiguration(configuration);
    veltra::RemoteAuthentication::wipeKeyText(key);

    bool attempted = false;
    std::string printed = client.status();
    client.changes().add([&] {
      if (client.status() != printed) {
        printed = client.status();
        printLine(printed);
        if (printed.starts_with("Connected · ")) reachedConnected = true;
      }
      // The session ended by itself (refused, failed, the host stopped): nothing more to wait for.
      if (attempted && !client.connecting() && !client.connected()) main.stop();
    });
    client.onFrame = [&](const std::shared_ptr<const veltra::RemoteFrame>& frame) {
      newest = frame;
      if (!recorder) return;
      // The arrival time first: reading the stamp is part of this program's cost, not the path's.
      const uint64_t arrived = veltra::latency_stamp::monotonicMicros();
      const auto start = std::chrono::steady_clock::now();
      const auto drawn = veltra::latency_stamp::read(frame->plane(0), frame->stride(0),
                                                     frame->width(), frame->height());
      readingTime += std::chrono::steady_clock::now() - start;
      ++readings;
      recorder->add(static_cast<int64_t>(arrived), drawn);
    };

    auto statistics = main.repeating(std::chrono::seconds(1), [&] {
      if (!client.connected()) return;
      printLine("decoded " + std::to_string(client.decodedFPS()) + " fps · rtt " +
                std::to_string(client.rttMilliseconds()) + " ms");
    });
    asio::signal_set signals(main.context(), SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& error, int) {
      if (!error) main.stop();
    });
    veltra::TaskHandle deadline;
    if (arguments.seconds) {
      deadline = main.postDelayed(
          std::chrono::milliseconds(static_cast<int64_t>(*arguments.seconds * 1000)),
          [&] { main.stop(); });
    }

    client.connect();
    attempted = client.connecting();
    if (attempted) main.run();
    statistics.cancel();
    deadline.cancel();
    signals.cancel();
    if (client.connecting() || client.connected()) client.disconnect("Disconnected");
  }

  if (recorder) {
    recorder->writeCsv(latencyFile);
    latencyFile.close();
    if (!latencyFile)
      std::fprintf(stderr, "veltra-remote: cannot write %s\n", arguments.latency.c_str());
    const auto summary = recorder->summary();
    printLine(veltra::LatencyRecorder::describe(summary));
    if (readings > 0) {
      const double micros = std::chrono::duration<double, std::micro>(readingTime).count();
      char line[96];
      std::snprintf(line, sizeof line, "stamp reading: %.1f us per picture on the main thread",
                    micros / readings);
      printLine(line);
    }
  }

  if (!arguments.snapshot.empty()) {
    if (!newest) {
      std::fprintf(stderr, "veltra-remote: no picture arrived; %s not written\n",
                   arguments.snapshot.c_str());
    } else if (!veltra::writePngSnapshot(*newest, arguments.snapshot)) {
      std::fprintf(stderr, "veltra-remote: cannot write %s\n", arguments.snapshot.c_str());
    }
  }
  return reachedConnected ? 0 : 1;
}
