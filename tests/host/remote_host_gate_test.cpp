#include <gtest/gtest.h>

#include "hostile_stallers.h"
#include "remote_host_fixture.h"

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::RemoteHostTest;

// Strangers on the LAN who send a hello, never prove anything and redial the moment they are
// closed cannot keep the user (127.0.0.1) out.
TEST_F(RemoteHostTest, AClientGetsInPastTwentyRedialingStallersFromOtherAddresses) {
  RemoteHost& host = makeHost();
  startListening();
  hostile::Stallers stallers({asio::ip::make_address("127.0.0.1"), port_},
                             {.count = 20, .sources = 20});
  ASSERT_TRUE(waitFor([&] { return stallers.redials() >= 20; }));  // the door is busy
  for (int round = 0; round < 10; ++round) {
    const auto start = test::Clock::now();
    auto client = connect();  // dials again whenever it is turned away
    EXPECT_LT(test::Clock::now() - start, 2s) << "round " << round;
    ASSERT_TRUE(client && client->ready());
    client->cancel();
    ASSERT_TRUE(waitFor([&] { return !host.connected(); }));
  }
}

TEST_F(RemoteHostTest, AClientThatFailedWithAWrongKeyGetsInAtOnceWithTheRightOne) {
  makeHost();
  startListening();
  test::TestClient wrong(main_, port_, RemoteAuthentication::newKey());
  ASSERT_TRUE(
      waitFor([&] { return wrong.ended() && host_->status() != "Authenticating device…"; }));
  test::TestClient right(main_, port_, host_->connectionKey());
  ASSERT_TRUE(waitFor([&] { return right.ended() || (right.ready() && host_->connected()); }));
  EXPECT_FALSE(right.ended());
}

}  // namespace
}  // namespace veltra
