// The host's listener and its one slot under connections that do not play by the rules: silent,
// garbage, a frame announced far too large, a hello and then nothing. Each must be closed at
// once while a session holds the slot, or at the handshake deadline when it holds the slot
// itself, and leave no descriptor behind.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "remote_host_fixture.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::RemoteHostTest;

enum class Hostile { silent, garbage, giantFrame, helloThenStall };

const char* name(Hostile kind) {
  switch (kind) {
    case Hostile::silent:
      return "silent";
    case Hostile::garbage:
      return "garbage";
    case Hostile::giantFrame:
      return "giant frame";
    case Hostile::helloThenStall:
      return "hello then stall";
  }
  return "";
}

size_t openDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

int connectTo(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

// What the hostile peer sends before it waits: nothing, bytes that cannot be a frame, the
// header of a 1 GiB frame and its first byte, or a well-formed hello.
std::vector<uint8_t> opening(Hostile kind) {
  switch (kind) {
    case Hostile::silent:
      return {};
    case Hostile::garbage:
      return std::vector<uint8_t>(512, 0xa5);
    case Hostile::giantFrame:
      return {0x40, 0x00, 0x00, 0x00, 0x01};
    case Hostile::helloThenStall: {
      std::vector<uint8_t> hello = {0x00, 0x00, 0x00, 33, 0x01};
      hello.resize(4 + 33, 0x5a);
      return hello;
    }
  }
  return {};
}

// Connects, sends the opening and waits for the host to close; how long that took, or nothing if
// the host had not closed it within `patience`. Blocking, on the caller's thread.
std::optional<Clock::duration> closedAfter(uint16_t port, Hostile kind,
                                           std::chrono::milliseconds patience) {
  const int fd = connectTo(port);
  if (fd < 0) return std::nullopt;
  const auto start = Clock::now();
  const std::vector<uint8_t> bytes = opening(kind);
  if (!bytes.empty() && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) {
    ::close(fd);
    return Clock::now() - start;  // already reset
  }
  timeval timeout{static_cast<time_t>(patience.count() / 1000),
                  static_cast<suseconds_t>(patience.count() % 1000 * 1000)};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::array<uint8_t, 256> buffer{};
  std::optional<Clock::duration> closed;
  for (;;) {
    const ssize_t size = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (size > 0) continue;  // a challenge to a hello: still open
    if (size == 0 || errno == ECONNRESET) closed = Clock::now() - start;
    break;  // closed, or the patience ran out (EAGAIN)
  }
  ::close(fd);
  return closed;
}

// Runs `work` on a thread of its own while the main queue keeps running: the host decides there.
class Background {
 public:
  explicit Background(std::function<void()> work)
      : thread_([this, work] {
          work();
          done_ = true;
        }) {}
  ~Background() { thread_.join(); }
  bool done() const { return done_; }

 private:
  std::atomic<bool> done_ = false;
  std::thread thread_;
};

TEST_F(RemoteHostTest, HostileConnectionsDuringASessionAreClosedAtOnceAndLeaveNothingBehind) {
  RemoteHost& host = makeHost();
  startListening();
  auto client = stream();
  const size_t descriptors = openDescriptors();

  constexpr int kEach = 25;
  std::vector<std::pair<Hostile, std::optional<Clock::duration>>> results;
  Background storm([&] {
    for (Hostile kind :
         {Hostile::silent, Hostile::garbage, Hostile::giantFrame, Hostile::helloThenStall}) {
      for (int i = 0; i < kEach; ++i) results.emplace_back(kind, closedAfter(port_, kind, 3s));
    }
  });
  ASSERT_TRUE(waitFor([&] { return storm.done(); }));
  ASSERT_EQ(results.size(), 4u * kEach);
  for (const auto& [kind, closed] : results) {
    ASSERT_TRUE(closed) << name(kind) << " was not closed";
    EXPECT_LT(*closed, 1s) << name(kind);
  }
  // The host's side of each closes on the main queue; nothing of them may stay.
  EXPECT_TRUE(waitFor([&] { return openDescriptors() == descriptors; }))
      << openDescriptors() << " descriptors, " << descriptors << " before";

  client->send(RemotePacket::ping, std::string("1"));
  ASSERT_TRUE(waitFor([&] { return client->received(RemotePacket::pong).size() == 1; }));
  EXPECT_EQ(host.status(), "Streaming 1920×1080 · requested 60 fps");
}

TEST_F(RemoteHostTest, AHostileConnectionHoldingTheSlotIsClosedAtTheHandshakeDeadline) {
  RemoteHost::Options options;
  options.connection.handshakeDeadline = 400ms;
  RemoteHost& host = makeHost(options);
  startListening();
  const std::string listening = "Listening on port " + std::to_string(port_);

  // Bytes that cannot start a handshake end it at once; silence and a hello hold the slot until
  // the deadline, and meanwhile everyone else is turned away at once.
  for (Hostile kind :
       {Hostile::garbage, Hostile::giantFrame, Hostile::silent, Hostile::helloThenStall}) {
    SCOPED_TRACE(name(kind));
    const bool holdsSlot = kind == Hostile::silent || kind == Hostile::helloThenStall;
    std::optional<Clock::duration> holder, turnedAway;
    Background attempt([&] {
      std::thread other;
      if (holdsSlot) {
        other = std::thread([&] {
          std::this_thread::sleep_for(100ms);
          turnedAway = closedAfter(port_, Hostile::silent, 3s);
        });
      }
      holder = closedAfter(port_, kind, 3s);
      if (other.joinable()) other.join();
    });
    ASSERT_TRUE(waitFor([&] { return attempt.done(); }));
    ASSERT_TRUE(holder);
    if (holdsSlot) {
      EXPECT_GE(*holder, 350ms);
      EXPECT_LT(*holder, 2s);
      ASSERT_TRUE(turnedAway);
      EXPECT_LT(*turnedAway, 200ms);
    } else {
      EXPECT_LT(*holder, 300ms);
    }
    // Back to listening, ready for the next.
    ASSERT_TRUE(waitFor([&] {
      return !host.connected() && host.status().find("listening on") != std::string::npos;
    })) << host.status();
  }
  auto client = stream();
  EXPECT_EQ(host.status(), "Streaming 1920×1080 · requested 60 fps");
}

// A process out of descriptors cannot accept; that passes, and hosting must outlive it.
TEST_F(RemoteHostTest, RunningOutOfDescriptorsPausesAcceptingWithoutEndingHosting) {
  RemoteHost& host = makeHost();
  startListening();
  const std::string listening = host.status();

  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  rlimit lowered = original;
  lowered.rlim_cur = std::min<rlim_t>(original.rlim_cur, openDescriptors() + 256);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);

  // The client's socket is made first; then every descriptor left is taken, so that the host's
  // accept of the connection fails.
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  std::vector<int> taken;
  for (int fd; (fd = ::dup(client)) >= 0;) taken.push_back(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected =
      ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  main_.runFor(500ms);
  const bool stillRunning = host.running();
  const std::string statusMeanwhile = host.status();
  for (int fd : taken) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &original);

  ASSERT_TRUE(connected);
  EXPECT_FALSE(taken.empty());
  EXPECT_TRUE(stillRunning);
  EXPECT_EQ(statusMeanwhile, listening);
  // The connection waited in the backlog and is taken once descriptors are free again.
  EXPECT_TRUE(statusIs("Authenticating device…"));
  ::close(client);
  EXPECT_TRUE(
      waitFor([&] { return !host.connected() && host.status() != "Authenticating device…"; }));
  EXPECT_TRUE(host.running());
}

}  // namespace
}  // namespace veltra
