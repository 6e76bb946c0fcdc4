// veltra-relay: a TCP relay on loopback between a client and a host that plays a bad network.
//
//   veltra-relay --listen PORT --to PORT [--delay MS] [--rate MBIT [--rate-from S]
//                [--rate-until S]] [--report-ms N] [--cut-after S] [--seconds S]
//
// Every byte is forwarded unchanged, in order, one client at a time (a second is closed at
// once). --delay holds each chunk MS milliseconds in both directions; --rate lets at most MBIT
// megabits per second through in each direction, with a 64 KiB queue as a router would have,
// from S seconds into a session (--rate-from) until S seconds into it (--rate-until), so that a
// run can show how a stream adapts to a link that slows down and recovers; --report-ms prints
// every N ms how many bytes went to the client so far, on the monotonic clock;
// --cut-after S closes both connections S seconds into a session, in the middle of the first
// large frame (a video frame: 1 KiB or more) from the host after that. The relay reads frame
// lengths only: it cannot and does not look inside the sealed records. It prints what happened
// and ends after S seconds (--seconds, default 3600), on SIGINT or SIGTERM.

#include <algorithm>
#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

void say(const std::string& line) {
  std::printf("relay: %s\n", line.c_str());
  std::fflush(stdout);
}

struct Settings {
  uint16_t listen = 0;
  uint16_t to = 0;
  std::chrono::milliseconds delay{0};
  double megabits = 0;  // 0: unlimited
  double rateFrom = 0;  // seconds into a session
  double rateUntil = 1e9;
  std::chrono::milliseconds report{0};  // 0: no reports
  std::optional<std::chrono::milliseconds> cutAfter;
  std::chrono::seconds lifetime{3600};
};

class Session;

// One direction: reads into a queue of timed chunks, writes each once its delay has passed and
// the rate allows, and stops reading while the queue is full so that the sender feels it.
class Pump : public std::enable_shared_from_this<Pump> {
 public:
  Pump(asio::io_context& io, tcp::socket& from, tcp::socket& to, const Settings& settings,
       bool fromHost, std::shared_ptr<Session> session)
      : from_(from),
        to_(to),
        timer_(io),
        settings_(settings),
        fromHost_(fromHost),
        owner_(session),
        session_(*session) {}

  void start() { read(); }
  // Lets go of the session once it ended; handlers still queued keep this pump alive, and the
  // pump the session, until they have run.
  void stop() { timer_.cancel(); }
  size_t forwarded() const { return forwarded_; }

 private:
  struct Chunk {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
  };

  // The rate now, 0 for none.
  double megabits() const;
  size_t capacity() const { return megabits() > 0 && settings_.delay == 0ms ? 64 << 10 : 16 << 20; }

  void read();
  void write();
  // The part of `chunk` to forward before cutting the connection, if the cut falls in it.
  std::optional<size_t> cutPoint(const uint8_t* bytes, size_t size);

  tcp::socket& from_;
  tcp::socket& to_;
  asio::steady_timer timer_;
  const Settings& settings_;
  const bool fromHost_;
  const std::shared_ptr<Session> owner_;
  Session& session_;
  std::array<uint8_t, 65536> buffer_{};
  std::deque<Chunk> queue_;
  size_t queued_ = 0;
  bool reading_ = false;
  bool writing_ = false;
  Clock::time_point nextSend_ = Clock::now();
  size_t forwarded_ = 0;
  // Frame boundaries of the host's stream: bytes of the header seen, and of the body left.
  std::array<uint8_t, 4> header_{};
  size_t headerSeen_ = 0;
  size_t bodyLeft_ = 0;
  bool cutting_ = false;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(asio::io_context& io, tcp::socket client, const Settings& settings,
          std::function<void()> onEnded)
      : io_(io),
        client_(std::move(client)),
        host_(io),
        settings_(settings),
        ended_(std::move(onEnded)) {}

  void start() {
    started_ = Clock::now();
    announceRate();
    report();
    host_.async_connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), settings_.to),
                        [self = shared_from_this()](asio::error_code error) {
                          if (error) return self->end("the host refused: " + error.message());
                          asio::error_code ignored;
                          self->host_.set_option(tcp::no_delay(true), ignored);
                          self->client_.set_option(tcp::no_delay(true), ignored);
                          self->up_ = std::make_shared<Pump>(self->io_, self->client_, self->host_,
                                                             self->settings_, false, self);
                          self->down_ = std::make_shared<Pump>(
                              self->io_, self->host_, self->client_, self->settings_, true, self);
                          self->up_->start();
                          self->down_->start();
                        });
  }

  // Says when the rate starts and stops holding, on the monotonic clock of the latency stamps, so
  // that a bench can tell its pictures apart.
  // The bytes to the client so far, every settings_.report, so that a bench can follow the
  // stream's rate finer than its client's once-a-second figures.
  void report() {
    if (settings_.report <= std::chrono::milliseconds(0)) return;
    if (!reportTimer_) reportTimer_ = std::make_shared<asio::steady_timer>(io_);
    reportTimer_->expires_after(settings_.report);
    reportTimer_->async_wait([self = shared_from_this()](asio::error_code error) {
      if (error || self->ended) return;
      const auto micros =
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
      ::say("to the client " + std::to_string(self->down_ ? self->down_->forwarded() : 0) +
            " bytes at " + std::to_string(micros.count()) + " us");
      self->report();
    });
  }

  void announceRate() {
    if (settings_.megabits <= 0) return;
    const auto say = [this](double at, std::string what) {
      auto timer = std::make_shared<asio::steady_timer>(
          io_, started_ +
                   std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(at)));
      timer->async_wait([self = shared_from_this(), timer, what](asio::error_code error) {
        if (error || self->ended) return;
        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
        ::say(what + " at " + std::to_string(micros.count()) + " us");
      });
    };
    char rate[64];
    std::snprintf(rate, sizeof rate, "rate %.1f Mbit/s on", settings_.megabits);
    say(settings_.rateFrom, rate);
    if (settings_.rateUntil < 1e9) say(settings_.rateUntil, "rate off");
  }

  bool cutDue() const {
    return settings_.cutAfter && Clock::now() - started_ >= *settings_.cutAfter;
  }
  double age() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }

  void end(const std::string& why) {
    if (ended) return;
    ended = true;
    asio::error_code ignored;
    client_.close(ignored);
    host_.close(ignored);
    char line[256];
    std::snprintf(line, sizeof line,
                  "session ended after %.1f s (%s); %zu bytes to the client, %zu to the host",
                  age(), why.c_str(), down_ ? down_->forwarded() : 0, up_ ? up_->forwarded() : 0);
    say(line);
    if (up_) up_->stop();
    if (down_) down_->stop();
    if (reportTimer_) reportTimer_->cancel();
    up_.reset();
    down_.reset();
    asio::post(io_, [self = shared_from_this()] { self->ended_(); });
  }

  bool ended = false;

 private:
  asio::io_context& io_;
  tcp::socket client_;
  tcp::socket host_;
  const Settings& settings_;
  std::function<void()> ended_;
  std::shared_ptr<Pump> up_;
  std::shared_ptr<Pump> down_;
  std::shared_ptr<asio::steady_timer> reportTimer_;
  Clock::time_point started_;
};

double Pump::megabits() const {
  const double age = session_.age();
  return age >= settings_.rateFrom && age < settings_.rateUntil ? settings_.megabits : 0;
}

void Pump::read() {
  if (reading_ || session_.ended || cutting_ || queued_ >= capacity()) return;
  reading_ = true;
  from_.async_read_some(
      asio::buffer(buffer_), [self = shared_from_this()](asio::error_code error, size_t size) {
        self->reading_ = false;
        if (self->session_.ended) return;
        if (error) {
          return self->session_.end((self->fromHost_ ? "host: " : "client: ") + error.message());
        }
        size_t keep = size;
        if (auto cut = self->cutPoint(self->buffer_.data(), size)) {
          keep = *cut;
          self->cutting_ = true;
        }
        self->queue_.push_back(
            {Clock::now() + self->settings_.delay,
             std::vector<uint8_t>(self->buffer_.begin(), self->buffer_.begin() + keep)});
        self->queued_ += keep;
        self->write();
        self->read();
      });
}

void Pump::write() {
  if (writing_ || session_.ended) return;
  if (queue_.empty()) {
    if (cutting_) session_.end("cut inside a frame from the host");
    return;
  }
  const Clock::time_point now = Clock::now();
  const Clock::time_point at = std::max(queue_.front().due, nextSend_);
  if (at > now) {
    writing_ = true;
    timer_.expires_at(at);
    timer_.async_wait([self = shared_from_this()](asio::error_code error) {
      self->writing_ = false;
      if (!error) self->write();
    });
    return;
  }
  // Under a rate, slices of 8 KiB keep the pace smooth.
  Chunk& front = queue_.front();
  const double megabits = this->megabits();
  const size_t slice =
      megabits > 0 ? std::min<size_t>(front.bytes.size(), 8192) : front.bytes.size();
  auto bytes =
      std::make_shared<std::vector<uint8_t>>(front.bytes.begin(), front.bytes.begin() + slice);
  front.bytes.erase(front.bytes.begin(), front.bytes.begin() + slice);
  if (front.bytes.empty()) queue_.pop_front();
  queued_ -= slice;
  if (megabits > 0) {
    nextSend_ =
        std::max(nextSend_, now) + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(slice * 8 / (megabits * 1e6)));
  }
  writing_ = true;
  asio::async_write(
      to_, asio::buffer(*bytes),
      [self = shared_from_this(), bytes](asio::error_code error, size_t size) {
        self->writing_ = false;
        if (self->session_.ended) return;
        if (error) {
          return self->session_.end((self->fromHost_ ? "client: " : "host: ") + error.message());
        }
        self->forwarded_ += size;
        self->write();
        self->read();
      });
}

std::optional<size_t> Pump::cutPoint(const uint8_t* bytes, size_t size) {
  if (!fromHost_ || !settings_.cutAfter) return std::nullopt;
  for (size_t at = 0; at < size;) {
    if (bodyLeft_ > 0) {
      const size_t step = std::min(bodyLeft_, size - at);
      bodyLeft_ -= step;
      at += step;
      continue;
    }
    header_[headerSeen_++] = bytes[at++];
    if (headerSeen_ < 4) continue;
    headerSeen_ = 0;
    bodyLeft_ = size_t{header_[0]} << 24 | size_t{header_[1]} << 16 | size_t{header_[2]} << 8 |
                size_t{header_[3]};
    if (bodyLeft_ >= 1024 && session_.cutDue()) {
      char line[160];
      std::snprintf(line, sizeof line, "cutting after %.1f s, %zu bytes into a %zu-byte frame",
                    session_.age(), bodyLeft_ / 2, bodyLeft_);
      say(line);
      return std::min(size, at + bodyLeft_ / 2);
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  veltra::CommandLine commandLine(
      "veltra-relay", "Relays one TCP client on loopback to a host, playing a bad network.",
      "veltra-relay --listen PORT --to PORT [--delay MS] [--rate MBIT [--rate-from S]\n"
      "                    [--rate-until S]] [--report-ms N] [--cut-after S] [--seconds S]");
  CLI::App& app = commandLine.app();
  double delay = 0, cutAfter = 0, seconds = 3600;
  app.add_option("--listen", settings.listen, "The loopback port the client connects to")
      ->type_name("PORT")
      ->required()
      ->check(veltra::wholeNumber(1, 65535));
  app.add_option("--to", settings.to, "The host's port on loopback")
      ->type_name("PORT")
      ->required()
      ->check(veltra::wholeNumber(1, 65535));
  app.add_option("--delay", delay, "Hold each chunk MS milliseconds in both directions")
      ->type_name("MS")
      ->check(veltra::decimalNumber(0, 1e6));
  app.add_option("--rate", settings.megabits,
                 "At most MBIT megabits per second in each direction (default: unlimited)")
      ->type_name("MBIT")
      ->check(veltra::positiveNumber(1e6));
  app.add_option("--rate-from", settings.rateFrom, "The rate holds from S seconds into a session")
      ->type_name("S")
      ->check(veltra::decimalNumber(0, 1e6));
  app.add_option("--rate-until", settings.rateUntil, "The rate holds until S seconds into it")
      ->type_name("S")
      ->check(veltra::decimalNumber(0, 1e6));
  double report = 0;
  app.add_option("--report-ms", report, "Print the bytes sent to the client every N ms")
      ->type_name("N")
      ->check(veltra::decimalNumber(0, 1e6));
  auto* cut = app.add_option("--cut-after", cutAfter,
                             "Cut the session S seconds in, in the middle of a large frame")
                  ->type_name("S")
                  ->check(veltra::decimalNumber(0, 1e6));
  app.add_option("--seconds", seconds, "End after S seconds (default 3600)")
      ->type_name("S")
      ->check(veltra::decimalNumber(1, 1e6));
  if (auto done = commandLine.parse(argc, argv)) return *done;
  settings.delay = std::chrono::milliseconds(static_cast<int64_t>(delay));
  if (cut->count() > 0) {
    settings.cutAfter = std::chrono::milliseconds(static_cast<int64_t>(cutAfter * 1000));
  }
  settings.lifetime = std::chrono::seconds(static_cast<int64_t>(seconds));
  settings.report = std::chrono::milliseconds(static_cast<int64_t>(report));

  asio::io_context io;
  tcp::acceptor acceptor(io);
  asio::error_code error;
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), settings.listen);
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    std::fprintf(stderr, "veltra-relay: %s\n", error.message().c_str());
    return 1;
  }
  say("listening on " + std::to_string(settings.listen) + ", relaying to " +
      std::to_string(settings.to));

  std::shared_ptr<Session> current;
  std::function<void()> accept = [&] {
    acceptor.async_accept([&](asio::error_code acceptError, tcp::socket socket) {
      if (acceptError) {
        if (acceptError == asio::error::operation_aborted) return;
        return accept();
      }
      if (current) {
        asio::error_code ignored;
        socket.close(ignored);
      } else {
        say("client connected");
        current =
            std::make_shared<Session>(io, std::move(socket), settings, [&] { current.reset(); });
        current->start();
      }
      accept();
    });
  };
  accept();

  asio::steady_timer lifetime(io);
  auto finish = [&] {
    asio::error_code ignored;
    acceptor.close(ignored);
    lifetime.cancel();
    if (current) current->end("relay stopped");
    io.stop();
  };
  lifetime.expires_after(settings.lifetime);
  lifetime.async_wait([&](asio::error_code timerError) {
    if (!timerError) finish();
  });
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](asio::error_code signalError, int) {
    if (!signalError) finish();
  });
  io.run();
  return 0;
}
