#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "hostile_openings.h"
#include "remote_host_fixture.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using hostile::Opening;
using test::Clock;
using test::RemoteHostTest;

size_t openDescriptors() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

int connectTo(uint16_t port, int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

// Connects, opens as `opening` does and waits up to 3 s for the host to close the connection:
// how long that took, or nothing. Blocking; run off the main queue, where the host decides.
std::optional<Clock::duration> closedAfter(uint16_t port, Opening opening) {
  const int fd = connectTo(port);
  if (fd < 0) return std::nullopt;
  const auto start = Clock::now();
  std::mt19937 random(7);
  const std::vector<uint8_t> bytes = openingBytes(opening, random);
  timeval patience{3, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  bool closed = !bytes.empty() && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0;
  uint8_t buffer[256];
  ssize_t size = 0;
  while (!closed && (size = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
  }  // a challenge to a hello: still open
  closed = closed || size == 0 || errno == ECONNRESET;
  const auto after = Clock::now() - start;
  ::close(fd);
  return closed ? std::optional(after) : std::nullopt;
}

class HostileOpeningTest : public test::RemoteHostTest,
                           public ::testing::WithParamInterface<Opening> {
 protected:
  template <class Work>
  auto offMain(Work work) {
    auto result = std::async(std::launch::async, work);
    EXPECT_TRUE(waitFor([&] { return result.wait_for(0s) == std::future_status::ready; }));
    return result.get();
  }
};

TEST_P(HostileOpeningTest, IsClosedAtOnceWhileASessionHoldsTheSlotAndLeavesNothing) {
  makeHost();
  startListening();
  auto client = stream();
  const size_t descriptors = openDescriptors();
  const auto closed = offMain([&] {
    std::vector<std::optional<Clock::duration>> all;
    for (int i = 0; i < 25; ++i) all.push_back(closedAfter(port_, GetParam()));
    return all;
  });
  for (const auto& each : closed) {
    ASSERT_TRUE(each) << "not closed";
    EXPECT_LT(*each, 1s);
  }
  EXPECT_TRUE(waitFor([&] { return openDescriptors() == descriptors; }))
      << openDescriptors() << " descriptors, " << descriptors << " before";
  client->send(RemotePacket::ping, std::string("1"));
  EXPECT_TRUE(waitFor([&] { return client->received(RemotePacket::pong).size() == 1; }));
  EXPECT_TRUE(host_->connected());
}

// Bytes that cannot start a handshake end it at once; silence and a hello hold the slot until
// the deadline, and meanwhile everyone else is turned away at once.
TEST_P(HostileOpeningTest, HoldsAFreeSlotNoLongerThanTheHandshakeDeadline) {
  RemoteHost::Options options;
  options.connection.handshakeDeadline = 400ms;
  options.handshakes.perSource = 1;  // every connection here comes from 127.0.0.1
  makeHost(options);
  startListening();
  const bool holdsSlot = GetParam() == Opening::silent || GetParam() == Opening::hello;
  auto holder = std::async(std::launch::async, [&] { return closedAfter(port_, GetParam()); });
  if (holdsSlot) {
    ASSERT_TRUE(statusIs("Authenticating device…"));
    const auto turnedAway = offMain([&] { return closedAfter(port_, Opening::silent); });
    ASSERT_TRUE(turnedAway);
    EXPECT_LT(*turnedAway, 200ms);
  }
  const auto held = offMain([&] { return holder.get(); });
  ASSERT_TRUE(held);
  EXPECT_GE(*held, holdsSlot ? 350ms : 0ms);
  EXPECT_LT(*held, holdsSlot ? 2s : 300ms);
  ASSERT_TRUE(waitFor([&] { return !host_->connected(); }));
  stream();
}

INSTANTIATE_TEST_SUITE_P(Openings, HostileOpeningTest, ::testing::ValuesIn(hostile::kOpenings),
                         [](const auto& each) { return std::string(nameOf(each.param)); });

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
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::vector<int> taken;
  for (int fd; (fd = ::dup(socket)) >= 0;) taken.push_back(fd);
  const int client = connectTo(port_, socket);
  main_.runFor(500ms);  // accepts fail meanwhile: no event tells of them
  const bool stillRunning = host.running();
  const std::string statusMeanwhile = host.status();
  for (int fd : taken) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &original);

  ASSERT_GE(client, 0);
  EXPECT_FALSE(taken.empty());
  EXPECT_TRUE(stillRunning);
  EXPECT_EQ(statusMeanwhile, listening);
  // The connection waited in the backlog and is taken once descriptors are free again.
  EXPECT_TRUE(statusIs("Authenticating device…"));
  ::close(client);
  EXPECT_TRUE(waitFor([&] { return !host.connected(); }));
  EXPECT_TRUE(host.running());
}

}  // namespace
}  // namespace veltra
