#include <gtest/gtest.h>

#include <thread>

#include "client/RemoteClient.h"
#include "client_test_support.h"
#include "protocol/RemoteError.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::Session;
using test::testStream;

TEST(RemoteClientVideo, EachPictureGoesToTheViewThenIsAcknowledgedOnce) {
  Session session;
  RemoteClient& client = *session.client;
  session.connect();
  auto& host = session.host;
  std::vector<int> acksSeenByView;
  client.onFrame = [&](const std::shared_ptr<const RemoteFrame>& frame) {
    session.frames.push_back(frame);
    acksSeenByView.push_back(host.count(RemotePacket::frameAck));
  };

  host.sendStream(testStream(), 0, 8);
  ASSERT_TRUE(session.runUntil([&] { return host.count(RemotePacket::frameAck) == 8; }));
  session.queue.runFor(100ms);
  EXPECT_EQ(host.count(RemotePacket::frameAck), 8);
  ASSERT_EQ(session.frames.size(), 8u);
  EXPECT_EQ(session.frames[0]->width(), 320);
  EXPECT_EQ(session.frames[0]->height(), 180);
  EXPECT_EQ(client.latestFrame(), session.frames.back());
  for (size_t index = 0; index < acksSeenByView.size(); ++index) {
    EXPECT_LE(acksSeenByView[index], static_cast<int>(index));
  }
}

TEST(RemoteClientVideo, APictureWhoseViewEndedTheAttemptIsNotAcknowledged) {
  Session session;
  RemoteClient& client = *session.client;
  session.connect();
  int pictures = 0;
  client.onFrame = [&](const std::shared_ptr<const RemoteFrame>&) {
    ++pictures;
    client.disconnect("Closed by the viewer.");
  };
  session.host.sendStream(testStream(), 0, 3);
  ASSERT_TRUE(session.runUntil([&] { return session.host.ended(); }));
  session.queue.runFor(100ms);
  EXPECT_EQ(pictures, 1);
  EXPECT_EQ(session.host.count(RemotePacket::frameAck), 0);
  EXPECT_EQ(client.status(), "Closed by the viewer.");
  EXPECT_EQ(client.latestFrame(), nullptr);
}

std::string decodeError(ByteView json) {
  try {
    VideoFormat::decodeJson(json);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(decoded)";
}

TEST(RemoteClientVideo, DecodeFailuresEndTheAttemptWithTheirMessage) {
  test::StreamOptions options;
  options.frames = 2;
  options.pixelFormat = AV_PIX_FMT_YUV444P;  // decodes, but no view can draw it
  const test::EncodedStream undrawable = test::encodeH264(options);
  const std::string missingPps = R"({"sps":"Z0IAHg==","width":320,"height":180})";
  const Bytes brokenFormat(missingPps.begin(), missingPps.end());

  struct Case {
    std::string name;
    std::function<void(test::ScriptedHost&)> script;
    std::string status;
  };
  const std::vector<Case> cases = {
      {"frame before format",
       [](auto& host) { host.send(RemotePacket::videoFrame, testStream().frames[0]); },
       "Video frame arrived before format."},
      {"format that does not read",
       [&](auto& host) { host.send(RemotePacket::videoFormat, brokenFormat); },
       decodeError(brokenFormat)},
      {"picture the decoder cannot hand out",
       [&](auto& host) { host.sendStream(undrawable, 0, 2); },
       "Video decode callback failed: " + std::to_string(AVERROR(ENOTSUP))},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    Session session;
    session.connect();
    each.script(session.host);
    ASSERT_TRUE(session.runUntil([&] { return !session.client->connected(); }));
    EXPECT_EQ(session.client->status(), each.status);
    EXPECT_TRUE(session.runUntil([&] { return session.host.ended(); }));
    EXPECT_EQ(session.host.count(RemotePacket::frameAck), 0);
    EXPECT_TRUE(session.frames.empty());
  }
}

TEST(RemoteClientStats, RatesAreCountsOverTheGapBetweenTicksOfAtLeastATenth) {
  Session session;
  RemoteClient& client = *session.client;
  session.connect();

  session.host.sendStream(testStream(), 0, 30);
  ASSERT_TRUE(session.runUntil([&] { return session.frames.size() == 30; }));
  for (int i = 0; i < 15; ++i) client.recordPresentation();
  session.now += 1500ms;
  session.queue.tick();
  EXPECT_EQ(client.decodedFPS(), 20);
  EXPECT_EQ(client.displayedFPS(), 10);

  session.host.sendStream(testStream(), 30, 33);
  ASSERT_TRUE(session.runUntil([&] { return session.frames.size() == 33; }));
  client.recordPresentation();
  client.recordPresentation();
  session.now += 50ms;
  session.queue.tick();
  EXPECT_EQ(client.decodedFPS(), 30);
  EXPECT_EQ(client.displayedFPS(), 20);

  client.recordPresentation();
  client.disconnect("Stopped");
  EXPECT_EQ(client.decodedFPS(), 0);
  EXPECT_EQ(client.displayedFPS(), 0);
}

// Pictures, pongs and failures of an attempt that were already on their way when the attempt
// ended find it stale.
TEST(RemoteClientLifetime, CallbacksOfAnEndedAttemptChangeNothing) {
  Session session;
  RemoteClient& client = *session.client;
  session.connect();
  session.wall = 1000.25;
  const int mark = session.queue.posted();
  session.host.send(RemotePacket::pong, "1000.0");
  session.host.sendStream(testStream(), 0, 1);
  session.host.send(RemotePacket::failure, "Late failure.");
  // Wait without running the main queue, so that the three callbacks queue up there.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (session.queue.posted() < mark + 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(session.queue.posted(), mark + 3);

  client.disconnect("Stopped");
  ASSERT_TRUE(session.runUntil([&] { return session.queue.executed() == session.queue.posted(); }));
  EXPECT_EQ(client.status(), "Stopped");
  EXPECT_EQ(client.rttMilliseconds(), 0);
  EXPECT_TRUE(session.frames.empty());
  EXPECT_EQ(client.latestFrame(), nullptr);
  EXPECT_TRUE(session.runUntil([&] { return session.host.ended(); }));
  EXPECT_EQ(session.host.count(RemotePacket::frameAck), 0);
}

TEST(RemoteClientLifetime, DestroyingTheClientIsSafeWhileEverythingIsUnderWay) {
  const int threadsBefore = test::threadsNamed("veltra.decode");
  {
    // Mid-stream: pictures decoding, callbacks queued, ticks running.
    RemoteClientOptions options;
    options.tickInterval = 5ms;
    Session session(false, options);
    session.connect();
    // The queue's thread names itself once it runs.
    EXPECT_TRUE(
        session.runUntil([&] { return test::threadsNamed("veltra.decode") == threadsBefore + 1; }));
    session.host.sendStream(testStream(), 0, testStream().frames.size());
    ASSERT_TRUE(session.runUntil([&] { return !session.frames.empty(); }));
    session.client.reset();
    EXPECT_EQ(test::threadsNamed("veltra.decode"), threadsBefore);
    session.queue.runFor(100ms);
    EXPECT_TRUE(session.runUntil([&] { return session.host.ended(); }));
    EXPECT_EQ(session.frames.size(), 1u);
  }
  {
    // Mid-handshake: the host answers a client that is gone.
    Session session;
    session.typeHost();
    session.client->connect();
    session.host.accept();
    session.client.reset();
    EXPECT_TRUE(session.runUntil([&] { return session.host.ended(); }));
  }
}

}  // namespace
}  // namespace veltra
