// veltra-hostile-load: connections that do not play by the rules, thrown at a host on this
// machine, with how the host answered each of them.
//
//   veltra-hostile-load --port N --scenario LIST [--count N] [--cycles N] [--hold S] [--repeat S]
//   veltra-hostile-load --port N --wait-behind N --key-file FILE [--persistent] [--sources N]
//                       [--give-up S]
//
// Scenarios (LIST is one or more, comma-separated, run together): silent (connect and never
// speak), garbage (random bytes), giant (the header of a 1 GiB frame, then one byte every
// 100 ms), hello (a well-formed hello, then nothing), churn (connect and close at once, as fast
// as the host accepts). Each of the first four opens N connections (default 100) at once and
// waits up to S seconds (default 12) for the host to close each; churn runs N cycles (default
// 2000) over 8 connections at a time. With --repeat S, each of the first four runs round after
// round of N connections for S seconds, a sustained storm. One line per scenario, key=value, times
// in CLOCK_MONOTONIC microseconds so that they line up with the latency stamps of the test pattern.
//
// --wait-behind N holds the host's handshake slots with N connections that send a hello and stall,
// and measures how long a legitimate client (the key from FILE, or - for standard input) takes
// to complete its handshake, retrying every 50 ms after each refusal. With --persistent a staller
// whose connection the host closes dials again at once; with --sources N the stallers dial from
// 127.0.0.2 to 127.0.0.(N + 1), the client from 127.0.0.1. It gives up after S seconds
// (default 60).
//
// Loopback only by intent: it connects to 127.0.0.1. Every loop is bounded in count and time; it
// ends by itself.

#include <time.h>

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "hostile_openings.h"
#include "hostile_stallers.h"
#include "print_line.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteConnection.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using asio::ip::tcp;
using veltra::printLine;
using veltra::hostile::Opening;

const char kSynopsis[] =
    "veltra-hostile-load --port N --scenario silent,garbage,giant,hello,churn|all\n"
    "                           [--count N] [--cycles N] [--hold S] [--repeat S]\n"
    "       veltra-hostile-load --port N --wait-behind N --key-file FILE [--persistent]\n"
    "                           [--sources N] [--give-up S]";

uint64_t monotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

double milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

// What one scenario saw, on the io thread.
struct Tally {
  std::string name;
  int planned = 0;
  int connectFailures = 0;
  int stillOpen = 0;  // not closed by the host within the hold time
  int finished = 0;
  std::vector<double> closedMs;  // from connect to the host's close, per connection
  uint64_t startMicros = 0;
  uint64_t endMicros = 0;

  void print() const {
    std::vector<double> sorted = closedMs;
    std::sort(sorted.begin(), sorted.end());
    auto at = [&](double share) {
      return sorted.empty() ? 0.0
                            : sorted[std::min(sorted.size() - 1, size_t(share * sorted.size()))];
    };
    char line[512];
    std::snprintf(line, sizeof line,
                  "scenario=%s connections=%d closed=%zu still_open=%d connect_failed=%d "
                  "close_median_ms=%.1f close_p95_ms=%.1f close_max_ms=%.1f start_us=%llu "
                  "end_us=%llu",
                  name.c_str(), planned, closedMs.size(), stillOpen, connectFailures, at(0.5),
                  at(0.95), sorted.empty() ? 0.0 : sorted.back(),
                  static_cast<unsigned long long>(startMicros),
                  static_cast<unsigned long long>(endMicros));
    printLine(line);
  }
};

// One hostile connection: connects, sends its opening, and reads until the host closes it or its
// hold time runs out.
class Probe : public std::enable_shared_from_this<Probe> {
 public:
  Probe(asio::io_context& io, Opening kind, Tally& tally, std::chrono::milliseconds hold,
        std::function<void()> finished)
      : socket_(io),
        trickle_(io),
        hold_(io),
        kind_(kind),
        tally_(tally),
        holdTime_(hold),
        finished_(std::move(finished)),
        random_(std::random_device{}()) {}

  void start(const tcp::endpoint& host) {
    socket_.async_connect(host, [self = shared_from_this()](asio::error_code error) {
      if (error) {
        ++self->tally_.connectFailures;
        return self->finish();
      }
      self->opened_ = Clock::now();
      self->hold_.expires_after(self->holdTime_);
      self->hold_.async_wait([self](asio::error_code timerError) {
        if (timerError || self->done_) return;
        ++self->tally_.stillOpen;
        self->finish();
      });
      self->speak();
      self->read();
    });
  }

 private:
  void speak() {
    auto bytes = std::make_shared<std::vector<uint8_t>>(openingBytes(kind_, random_));
    if (!bytes->empty()) write(bytes);
    if (trickles(kind_)) trickle();
  }

  void write(std::shared_ptr<std::vector<uint8_t>> bytes) {
    asio::async_write(socket_, asio::buffer(*bytes),
                      [self = shared_from_this(), bytes](asio::error_code, size_t) {});
  }

  void trickle() {
    trickle_.expires_after(100ms);
    trickle_.async_wait([self = shared_from_this()](asio::error_code error) {
      if (error || self->done_) return;
      self->write(std::make_shared<std::vector<uint8_t>>(1, veltra::hostile::kTrickleByte));
      self->trickle();
    });
  }

  void read() {
    socket_.async_read_some(
        asio::buffer(buffer_), [self = shared_from_this()](asio::error_code error, size_t) {
          if (self->done_) return;
          if (!error) return self->read();
          self->tally_.closedMs.push_back(milliseconds(Clock::now() - self->opened_));
          self->finish();
        });
  }

  void finish() {
    if (done_) return;
    done_ = true;
    asio::error_code ignored;
    socket_.close(ignored);
    trickle_.cancel();
    hold_.cancel();
    finished_();
  }

  tcp::socket socket_;
  asio::steady_timer trickle_;
  asio::steady_timer hold_;
  Opening kind_;
  Tally& tally_;
  std::chrono::milliseconds holdTime_;
  std::function<void()> finished_;
  std::mt19937 random_;
  std::array<uint8_t, 4096> buffer_{};
  Clock::time_point opened_;
  bool done_ = false;
};

// Connect-and-close cycles, `parallel` at a time, until `cycles` are done.
class Churn {
 public:
  Churn(asio::io_context& io, tcp::endpoint host, int cycles, Tally& tally,
        std::function<void()> finished)
      : io_(io), host_(host), remaining_(cycles), tally_(tally), finished_(std::move(finished)) {}

  void start(int parallel) {
    tally_.startMicros = monotonicMicros();
    started_ = Clock::now();
    active_ = std::min(parallel, remaining_);
    for (int i = 0; i < active_; ++i) launch();
  }

 private:
  void launch() {
    --remaining_;
    auto socket = std::make_shared<tcp::socket>(io_);
    socket->async_connect(host_, [this, socket](asio::error_code error) {
      if (error) ++tally_.connectFailures;
      asio::error_code ignored;
      socket->close(ignored);
      ++tally_.finished;
      if (remaining_ > 0) return launch();
      if (--active_ == 0) done();
    });
  }

  void done() {
    tally_.endMicros = monotonicMicros();
    const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    char line[256];
    std::snprintf(line, sizeof line,
                  "scenario=churn cycles=%d connect_failed=%d seconds=%.2f per_second=%.0f "
                  "start_us=%llu end_us=%llu",
                  tally_.finished, tally_.connectFailures, seconds, tally_.finished / seconds,
                  static_cast<unsigned long long>(tally_.startMicros),
                  static_cast<unsigned long long>(tally_.endMicros));
    printLine(line);
    finished_();
  }

  asio::io_context& io_;
  tcp::endpoint host_;
  int remaining_;
  int active_ = 0;
  Tally& tally_;
  std::function<void()> finished_;
  Clock::time_point started_;
};

struct Arguments {
  uint16_t port = 0;
  std::vector<std::string> scenarios;
  int count = 100;
  int cycles = 2000;
  std::chrono::milliseconds hold{12'000};
  std::chrono::seconds repeat{0};
  int waitBehind = -1;
  std::string keyFile;
  bool persistent = false;
  int sources = 0;
  std::chrono::milliseconds giveUp{60'000};
};

// Fills `arguments`: the exit code when the program is done here (help, version, a usage error),
// else nothing.
std::optional<int> parse(int argc, char** argv, Arguments& arguments) {
  veltra::CommandLine commandLine(
      "veltra-hostile-load",
      "Throws connections that do not play by the rules at a host on this machine (127.0.0.1).",
      kSynopsis);
  CLI::App& app = commandLine.app();
  int hold = 12, giveUp = 60, repeat = 0;
  app.add_option("--port", arguments.port, "The host's port on 127.0.0.1")
      ->type_name("N")
      ->required()
      ->check(veltra::wholeNumber(1, 65535));
  app.add_option("--scenario", arguments.scenarios,
                 "silent, garbage, giant, hello, churn, comma-separated, or all")
      ->type_name("LIST")
      ->delimiter(',');
  app.add_option("--count", arguments.count, "Connections per round (default 100)")
      ->type_name("N")
      ->check(veltra::wholeNumber(1, 100'000));
  app.add_option("--cycles", arguments.cycles, "Churn's connect-and-close cycles (default 2000)")
      ->type_name("N")
      ->check(veltra::wholeNumber(1, 100'000));
  app.add_option("--hold", hold, "Seconds to wait for the host to close each (default 12)")
      ->type_name("S")
      ->check(veltra::wholeNumber(1, 3600));
  app.add_option("--repeat", repeat, "Run round after round for S seconds")
      ->type_name("S")
      ->check(veltra::wholeNumber(1, 3600));
  app.add_option("--wait-behind", arguments.waitBehind,
                 "Hold the host's slot with N stallers and time a real client behind them")
      ->type_name("N")
      ->check(veltra::wholeNumber(0, 100'000));
  app.add_option("--key-file", arguments.keyFile, "The real client's key, - for standard input")
      ->type_name("FILE");
  app.add_flag("--persistent", arguments.persistent, "A closed staller dials again at once");
  app.add_option("--sources", arguments.sources,
                 "Spread the stallers over N addresses from 127.0.0.2 (default: 127.0.0.1)")
      ->type_name("N")
      ->check(veltra::wholeNumber(1, 250));
  app.add_option("--give-up", giveUp, "The real client gives up after S seconds (default 60)")
      ->type_name("S")
      ->check(veltra::wholeNumber(1, 3600));
  if (auto done = commandLine.parse(argc, argv)) return done;
  arguments.hold = std::chrono::seconds(hold);
  arguments.giveUp = std::chrono::seconds(giveUp);
  arguments.repeat = std::chrono::seconds(repeat);

  std::vector<std::string> names;
  for (const std::string& name : arguments.scenarios) {
    if (name == "all") {
      for (const char* each : {"silent", "garbage", "giant", "hello", "churn"})
        names.push_back(each);
    } else if (name == "churn" || veltra::hostile::openingNamed(name)) {
      names.push_back(name);
    } else {
      return commandLine.usageError("unknown scenario \"" + name + "\"");
    }
  }
  arguments.scenarios = names;
  if (arguments.scenarios.empty() == (arguments.waitBehind < 0)) {
    return commandLine.usageError("give either --scenario or --wait-behind");
  }
  if (arguments.waitBehind >= 0 && arguments.keyFile.empty()) {
    return commandLine.usageError("--wait-behind needs --key-file");
  }
  return std::nullopt;
}

int runScenarios(const Arguments& arguments) {
  asio::io_context io;
  const tcp::endpoint host(asio::ip::make_address("127.0.0.1"), arguments.port);
  std::map<std::string, Tally> tallies;
  int scenariosLeft = static_cast<int>(arguments.scenarios.size());
  std::vector<std::unique_ptr<Churn>> churns;
  // The whole run is bounded even if the host never closes anything and connects hang.
  asio::steady_timer backstop(io);
  backstop.expires_after(arguments.repeat + arguments.hold + 120s);
  backstop.async_wait([&](asio::error_code error) {
    if (!error) io.stop();
  });
  auto scenarioDone = [&] {
    if (--scenariosLeft == 0) backstop.cancel();
  };

  const auto repeatUntil = Clock::now() + arguments.repeat;
  for (const std::string& name : arguments.scenarios) {
    Tally& tally = tallies[name];
    tally.name = name;
    tally.startMicros = monotonicMicros();
    if (name == "churn") {
      tally.planned = arguments.cycles;
      churns.push_back(std::make_unique<Churn>(io, host, arguments.cycles, tally, scenarioDone));
      churns.back()->start(8);
      continue;
    }
    // One round of `count` connections at once; with --repeat, rounds follow each other until
    // its time is up.
    auto round = std::make_shared<std::function<void()>>();
    *round = [&, &tally = tally, kind = *veltra::hostile::openingNamed(name), round] {
      tally.planned += arguments.count;
      for (int i = 0; i < arguments.count; ++i) {
        auto probe = std::make_shared<Probe>(io, kind, tally, arguments.hold, [&, round] {
          if (++tally.finished < tally.planned) return;
          if (Clock::now() < repeatUntil) return (*round)();
          tally.endMicros = monotonicMicros();
          tally.print();
          *round = nullptr;  // breaks the cycle through the probes' callbacks
          scenarioDone();
        });
        probe->start(host);
      }
    };
    (*round)();
  }
  io.run();
  if (scenariosLeft > 0) {
    std::fprintf(stderr, "veltra-hostile-load: gave up on %d scenario(s)\n", scenariosLeft);
    return 1;
  }
  return 0;
}

// The legitimate client's attempts, each a real handshake through the library, until one is
// ready or the patience runs out.
int waitBehind(const Arguments& arguments) {
  std::string keyText;
  if (arguments.keyFile == "-") {
    keyText.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream file(arguments.keyFile);
    if (!file) {
      std::fprintf(stderr, "veltra-hostile-load: cannot read %s\n", arguments.keyFile.c_str());
      return 2;
    }
    keyText.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  veltra::SecretKey secret;
  try {
    secret = veltra::RemoteAuthentication::secret(keyText);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "veltra-hostile-load: %s\n", error.what());
    return 2;
  }
  keyText.assign(keyText.size(), '\0');

  // The stallers, on their own thread.
  veltra::hostile::Stallers stallers(
      tcp::endpoint(asio::ip::make_address("127.0.0.1"), arguments.port),
      {.count = arguments.waitBehind,
       .sources = arguments.sources,
       .opening = Opening::hello,
       .redial = arguments.persistent});
  std::this_thread::sleep_for(200ms);  // the stallers are in, holding the slots

  const auto start = Clock::now();
  const auto giveUp = start + arguments.giveUp;
  int attempts = 0;
  bool ready = false;
  std::string lastEnd;
  while (!ready && Clock::now() < giveUp) {
    ++attempts;
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<bool> outcome;
    auto connection = veltra::RemoteConnection::client("127.0.0.1", arguments.port, secret);
    connection->onReady = [&] {
      std::lock_guard lock(mutex);
      outcome = true;
      changed.notify_all();
    };
    connection->onEnd = [&](std::string reason) {
      std::lock_guard lock(mutex);
      lastEnd = reason;
      outcome = false;
      changed.notify_all();
    };
    connection->start();
    {
      std::unique_lock lock(mutex);
      changed.wait_until(lock, giveUp, [&] { return outcome.has_value(); });
      ready = outcome.value_or(false);
    }
    connection.reset();  // ends it silently; no callback after this
    if (!ready) std::this_thread::sleep_for(50ms);
  }
  const double waited = milliseconds(Clock::now() - start);

  const int redials = stallers.redials();
  char line[256];
  std::snprintf(line, sizeof line,
                "wait_behind=%d persistent=%d outcome=%s waited_ms=%.0f attempts=%d redials=%d",
                arguments.waitBehind, arguments.persistent ? 1 : 0, ready ? "ready" : "gave-up",
                waited, attempts, redials);
  printLine(line);
  if (!ready && !lastEnd.empty()) printLine("last refusal: " + lastEnd);
  return ready ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (auto done = parse(argc, argv, arguments)) return *done;
  return arguments.waitBehind >= 0 ? waitBehind(arguments) : runScenarios(arguments);
}
