// veltra-remote: connects to a Veltra host and streams its display.
//
//   veltra-remote [PROFILE.json] [--connect]
//   veltra-remote --headless (--profile FILE | --address HOST [--port N] --key-file FILE)
//                 [--mode 1920x1080@60] [--seconds S] [--snapshot FILE.png]
//                 [--latency FILE.csv [--warm-up S]] [--audio FILE.wav]
//
// Without --headless it opens the Veltra Remote Desktop window, with PROFILE.json imported and,
// with --connect, connected at once. Scripts may add --screenshot FILE.png (SIGUSR1 saves the
// window there) and --statistics (the frame rates and the round trip every second).
//
// Headless, it prints every new status line and, once a second while connected, the decoded
// frame rate, the round trip and the video's bit rate. It ends after S seconds, on SIGINT or
// SIGTERM, or when the session ends by itself, and exits 0 if the session reached
// "Connected · …", 1 if not, 2 for bad arguments. The key comes from a file or, with --key-file -,
// from standard input: never from the command line, where any local user could read it.
//
// With --latency, it reads the latency stamp of every picture (the test pattern draws one; see
// latency_stamp.h) as the picture arrives, writes one line per picture to FILE.csv at the end and
// prints the latency percentiles and the pictures per second. Pictures in the first S seconds
// after the first one (--warm-up) are left out of both.
//
// With --audio, it offers the host the audio extension and writes the session's sound to
// FILE.wav in real time, silence included (see WavAudioOutput); with --latency as well, it prints
// when the file's first sample was played, so that a sound's place in the file gives its time.

#include <algorithm>
#include <asio/signal_set.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "RemoteDesktopApp.h"
#include "client/RemoteClient.h"
#include "client/WavAudioOutput.h"
#include "command_line.h"
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

const char kSynopsis[] =
    "veltra-remote [PROFILE.json] [--connect]\n"
    "       veltra-remote --headless (--profile FILE | --address HOST [--port N] --key-file FILE)\n"
    "                     [--mode WIDTHxHEIGHT@FPS] [--seconds S] [--snapshot FILE.png]\n"
    "                     [--latency FILE.csv [--warm-up S]] [--audio FILE.wav]";

struct Arguments {
  bool headless = false;
  veltra::RemoteDesktopOptions window;
  std::string profile;
  std::string address;
  std::optional<std::string> port;
  std::string keyFile;
  std::optional<veltra::RemoteConfiguration> mode;
  std::optional<double> seconds;
  std::string snapshot;
  std::string latency;
  std::optional<double> warmUp;
  std::string audio;
};

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

// One command line for both forms; which options belong to which is checked after parsing, so
// that a mix-up is named ("--address needs --headless") rather than called unknown.
class RemoteCommandLine {
 public:
  RemoteCommandLine()
      : commandLine_("veltra-remote", "Connects to a Veltra host and shows its display.",
                     kSynopsis) {
    CLI::App& app = commandLine_.app();
    app.add_flag("--headless", arguments_.headless, "No window: status lines on the terminal");

    const std::string window = "The window";
    profileOption_ =
        app.add_option("profile", arguments_.window.profile, "A connection profile to import")
            ->type_name("PROFILE.json")
            ->group(window);
    windowOptions_ = {
        profileOption_,
        app.add_flag("--connect", arguments_.window.connect, "Connect at once")->group(window),
        app.add_option("--screenshot", arguments_.window.screenshot,
                       "For scripts: SIGUSR1 saves the window there")
            ->type_name("FILE.png")
            ->group(window),
        app.add_flag("--statistics", arguments_.window.statistics,
                     "For scripts: the frame rates and the round trip every second")
            ->group(window),
    };

    const std::string headless = "Headless";
    const auto add = [&](CLI::Option* option) {
      headlessOptions_.push_back(option->group(headless));
      return option;
    };
    add(app.add_option("--profile", arguments_.profile, "A connection profile")->type_name("FILE"));
    add(app.add_option("--address", arguments_.address, "The host's address")->type_name("HOST"));
    // The client checks the port as the user typed it.
    portOption_ =
        add(app.add_option("--port", port_, "The host's port (default 9876)")->type_name("N"));
    add(app.add_option("--key-file", arguments_.keyFile,
                       "The connection key; - reads it from stdin")
            ->type_name("FILE"));
    add(app.add_option("--mode", mode_,
                       "1920x1080 or 2560x1440 at 60 or 120 (default 1920x1080@60)")
            ->type_name("WxH@FPS")
            ->check(CLI::Validator(
                [](std::string& text) -> std::string {
                  auto mode = parseMode(text);
                  if (mode && mode->isValid()) return {};
                  return text + " is not 1920x1080 or 2560x1440 at 60 or 120, e.g. 1920x1080@60";
                },
                "")));
    secondsOption_ = add(app.add_option("--seconds", seconds_, "End after S seconds")
                             ->type_name("S")
                             ->check(veltra::positiveNumber(1e6)));
    add(app.add_option("--snapshot", arguments_.snapshot, "Save the last picture at the end")
            ->type_name("FILE.png"));
    add(app.add_option("--latency", arguments_.latency, "Every picture's latency, one line each")
            ->type_name("FILE.csv"));
    warmUpOption_ = add(app.add_option("--warm-up", warmUp_, "Leave the first S seconds out")
                            ->type_name("S")
                            ->check(veltra::positiveNumber(1e6)));
    add(app.add_option("--audio", arguments_.audio, "Play the session's sound into a WAV file")
            ->type_name("FILE.wav"));
  }

  // The arguments, or the exit code when the program is done here.
  std::variant<Arguments, int> parse(int argc, char** argv) {
    if (auto done = commandLine_.parse(argc, argv)) return *done;
    if (auto problem = arguments_.headless ? checkHeadless() : checkWindow()) {
      return commandLine_.usageError(*problem);
    }
    return arguments_;
  }

  int usageError(const std::string& problem) const { return commandLine_.usageError(problem); }

 private:
  // The first of `options` on the command line, if any.
  const CLI::Option* firstGiven(const std::vector<CLI::Option*>& options) {
    for (const CLI::Option* option : commandLine_.app().parse_order()) {
      if (std::find(options.begin(), options.end(), option) != options.end()) return option;
    }
    return nullptr;
  }

  std::optional<std::string> checkWindow() {
    if (const CLI::Option* option = firstGiven(headlessOptions_)) {
      return option->get_name() + " needs --headless; the window takes [PROFILE.json] [--connect]";
    }
    const auto& options = arguments_.window;
    if (options.connect && options.profile.empty()) return "--connect needs a profile";
    if (!veltra::windowPossible()) {
      return "no display to open the window on (DISPLAY is not set); use --headless";
    }
    return std::nullopt;
  }

  std::optional<std::string> checkHeadless() {
    if (const CLI::Option* option = firstGiven(windowOptions_)) {
      const std::string name = option == profileOption_ ? "PROFILE.json" : option->get_name();
      return name + " is for the window; headless takes --profile or --address";
    }
    auto& arguments = arguments_;
    if (portOption_->count() > 0) arguments.port = port_;
    if (!mode_.empty()) arguments.mode = parseMode(mode_);
    if (secondsOption_->count() > 0) arguments.seconds = seconds_;
    if (warmUpOption_->count() > 0) arguments.warmUp = warmUp_;
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

  veltra::CommandLine commandLine_;
  Arguments arguments_;
  std::string port_;
  std::string mode_;
  double seconds_ = 0;
  double warmUp_ = 0;
  CLI::Option* profileOption_ = nullptr;
  CLI::Option* portOption_ = nullptr;
  CLI::Option* secondsOption_ = nullptr;
  CLI::Option* warmUpOption_ = nullptr;
  std::vector<CLI::Option*> windowOptions_;
  std::vector<CLI::Option*> headlessOptions_;
};

}  // namespace

int main(int argc, char** argv) {
  RemoteCommandLine commandLine;
  auto parsed = commandLine.parse(argc, argv);
  if (const int* done = std::get_if<int>(&parsed)) return *done;
  const Arguments& arguments = std::get<Arguments>(parsed);
  if (!arguments.headless) {
    // Qt reads options of its own from the command line; everything there is ours and parsed, so
    // it gets the program's name only.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    return veltra::runRemoteDesktop(qtArgc, qtArgv, arguments.window);
  }
  const auto usageError = [&](const std::string& problem) {
    return commandLine.usageError(problem);
  };
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
  std::shared_ptr<veltra::WavAudioOutput> sound;
  if (!arguments.audio.empty()) {
    sound = std::make_shared<veltra::WavAudioOutput>(arguments.audio);
    if (!sound->ok()) return usageError("cannot write " + arguments.audio);
  }
  std::chrono::nanoseconds readingTime{0};
  int readings = 0;

  veltra::tuneAllocatorForStreaming();
  veltra::AsioMainQueue main;
  bool reachedConnected = false;
  std::shared_ptr<const veltra::RemoteFrame> newest;
  {
    veltra::RemoteClientOptions options;
    if (sound) {
      options.extensions = {veltra::SessionExtension::audio};
      options.audio = sound;
    }
    veltra::RemoteClient client(main, std::move(options));
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
      char rate[32];
      std::snprintf(rate, sizeof rate, " · %.1f Mbit/s", client.videoBitRate() / 1e6);
      printLine("decoded " + std::to_string(client.decodedFPS()) + " fps · rtt " +
                veltra::roundTripText(client.rttMilliseconds()) + rate);
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

  if (sound) {
    sound->stop();
    if (!sound->ok())
      std::fprintf(stderr, "veltra-remote: cannot write %s\n", arguments.audio.c_str());
    if (recorder && sound->firstSampleMicros() != 0)
      printLine("sound: first sample at " + std::to_string(sound->firstSampleMicros()) + " us");
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
