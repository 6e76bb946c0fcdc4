#include <gtest/gtest.h>
#include <opus.h>

#include <functional>

#include "client_test_support.h"
#include "harness/harness.h"
#include "harness/sound.h"
#include "protocol/AudioPacket.h"
#include "protocol/Base64.h"
#include "protocol/Heartbeat.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/pixfmt.h>
}

namespace veltra {
namespace {

using namespace std::chrono_literals;
using test::Session;

const test::EncodedStream& testStream() {  // made once
  static const test::EncodedStream stream = test::encodeH264({.frames = 40});
  return stream;
}

constexpr const char* kAddressOrPort = "Enter a host address and a port between 1024 and 65535.";
constexpr const char* kConnecting = "Connecting and authenticating…";
constexpr const char* kBadKey = "Use the 32-byte connection key shown by Veltra Host.";

TEST(RemoteClientConnect, ChecksAddressPortConfigurationAndKeyInThatOrderAndAnnouncesChanges) {
  test::TestQueue queue(true);
  const auto statusWithPort = [&](const char* port) {
    RemoteClient client(queue);
    client.setAddress("127.0.0.1");
    client.setPort(port);
    client.setConnectionKey(base64Encode(Bytes(32, 0x5a)));
    client.connect();
    return client.status();
  };
  // An unsigned decimal from 1024 to 65535, exactly as typed.
  for (const char* port : {"1024", "65535", "+9876", "009876"})
    EXPECT_EQ(statusWithPort(port), kConnecting) << port;
  for (const char* port :
       {"1023", "65536", " 9876", "", "+", "-1", "0x2694", "99999999999999999999"})
    EXPECT_EQ(statusWithPort(port), kAddressOrPort) << '"' << port << '"';

  RemoteClient client(queue);
  client.setAddress(" \t\n\u00a0");
  client.setPort("80");
  client.setConfiguration({1920, 1080, 30});
  client.setConnectionKey(base64Encode(Bytes(31, 0x5a)));
  const std::pair<std::function<void()>, const char*> steps[] = {
      {[] {}, kAddressOrPort},
      {[&] { client.setAddress("127.0.0.1"); }, kAddressOrPort},
      {[&] { client.setPort("9876"); }, "Invalid remote protocol packet."},
      {[&] {
         client.setConfiguration({2560, 1440, 60});
       },
       kBadKey}};
  for (const auto& [fix, status] : steps) {
    fix();
    client.connect();
    EXPECT_EQ(client.status(), status);
    EXPECT_FALSE(client.connecting() || client.connected());
  }
  EXPECT_EQ(client.address(), "127.0.0.1");  // a failed check keeps what was typed

  std::vector<std::string> seen;
  client.changes().add([&] {
    EXPECT_FALSE(client.connecting() && client.connected());
    seen.push_back(client.status() + (client.connecting() ? " +connecting" : ""));
  });
  client.setAddress("127.0.0.1");
  client.setConnectionKey(base64Encode(Bytes(32, 0x5a)));
  client.connect();
  client.setPort("1");
  client.connect();  // while connecting: changes nothing, not even the status
  client.disconnect("Stopped");
  client.disconnect("Stopped");
  const std::string connecting = std::string(kConnecting) + " +connecting";
  EXPECT_EQ(seen, (std::vector<std::string>{kBadKey, connecting, connecting, "Stopped"}));
}

// The host is asked for the display that connect() validated; later edits wait for the next
// attempt.
TEST(RemoteClientSession, AsksForTheDisplayItValidatedUntilTheHostEndsTheAttempt) {
  Session session;
  RemoteClient& client = *session.client;
  // White space around what was pasted does not matter.
  client.setAddress("  127.0.0.1\n");
  client.setPort(std::to_string(session.host.port()));
  client.setConnectionKey("\n " + session.host.key() + " \t");
  client.setConfiguration({2560, 1440, 60});
  client.connect();
  client.setConfiguration({0, 0, 0});
  session.host.accept();
  ASSERT_TRUE(session.runUntil([&] { return !session.host.packets().empty(); }));
  const auto [type, payload] = session.host.packets().front();
  EXPECT_EQ(type, RemotePacket::configuration);
  EXPECT_EQ(RemoteConfiguration::decodeJson(payload), (RemoteConfiguration{2560, 1440, 60}));
  EXPECT_EQ(client.status(), "Authenticated · preparing remote display…");
  session.host.send(RemotePacket::configuration, "not even JSON");  // its payload adds nothing
  const std::string connected = "Connected · 2560×1440 · target 60 fps";
  ASSERT_TRUE(session.runUntil([&] { return client.status() == connected; })) << client.status();
  client.connect();
  EXPECT_EQ(client.status(), connected);

  session.host.send(RemotePacket::failure, "No display.");
  ASSERT_TRUE(session.runUntil([&] { return !client.connected(); }));
  EXPECT_EQ(client.status(), "No display.");
  EXPECT_EQ(client.connectionKey(), "\n " + session.host.key() + " \t");
}

TEST(RemoteClientHeartbeat, PingsEachTickMeasuresEachPongAndGivesUpAfterTheLimitWithoutOne) {
  Session session;
  RemoteClient& client = *session.client;
  session.connect();
  session.wall = 1000.25;
  auto pong = [&](std::string_view payload) {
    const int mark = session.queue.executed();
    session.host.send(RemotePacket::pong, payload);
    return session.runUntil([&] { return session.queue.executed() > mark; });
  };
  ASSERT_TRUE(pong("1000.0"));
  EXPECT_EQ(client.rttMilliseconds(), 250);
  session.now += 11s;
  ASSERT_TRUE(pong("-1e300"));  // refreshes; no trip takes that long, so measures nothing
  EXPECT_EQ(client.rttMilliseconds(), 250);
  ASSERT_TRUE(pong("1000.2496"));  // a LAN trip well under a millisecond keeps its fraction
  EXPECT_EQ(roundTripText(client.rttMilliseconds()), "0.4 ms");

  session.now += 12s;
  session.wall = 812'345'678.25;
  session.queue.tick();
  EXPECT_TRUE(client.connected());
  ASSERT_TRUE(session.runUntil([&] { return session.host.count(RemotePacket::ping) == 1; }));
  EXPECT_EQ(session.host.payloads(RemotePacket::ping)[0], pingPayload(812'345'678.25));
  session.now += 1ns;
  session.queue.tick();
  EXPECT_EQ(client.status(), RemoteClient::kHeartbeatTimedOut);
  EXPECT_TRUE(session.runUntil([&] { return session.host.ended(); }));

  // One decimal below 10 ms, whole milliseconds from there; nothing rounds to zero or to "10.0".
  const std::pair<double, const char*> texts[] = {{0.0, "– ms"},    {0.04, "<0.1 ms"},
                                                  {9.94, "9.9 ms"}, {9.96, "10 ms"},
                                                  {10.0, "10 ms"},  {123.6, "124 ms"}};
  for (const auto& [milliseconds, text] : texts) EXPECT_EQ(roundTripText(milliseconds), text);
}

TEST(RemoteClientInput, ForwardedOnlyWhileEnabledWithAPictureAndOnlyWhenValid) {
  Session session;
  RemoteClient& client = *session.client;
  auto& host = session.host;
  session.connect();
  client.setInputEnabled(true);  // nothing on screen yet
  EXPECT_FALSE(client.inputEnabled());
  host.sendStream(testStream(), 0, 1);
  ASSERT_TRUE(session.runUntil([&] { return session.frames.size() == 1; }));
  client.setInputEnabled(true);
  const RemoteInput key{.kind = RemoteInput::Kind::keyDown, .key = 12, .flags = 0x20000};
  const RemoteInput move{.kind = RemoteInput::Kind::move, .x = 0.25, .y = 0.75};
  client.send(key);
  client.send({.kind = RemoteInput::Kind::move, .x = 1.5, .y = 0.5});  // invalid: dropped
  client.send(move);
  client.setInputEnabled(false);
  client.send(key);
  client.setInputEnabled(true);
  client.send(move);
  std::vector<RemoteInput> inputs;
  const auto order = [&] {
    std::vector<RemotePacket> types;
    inputs.clear();
    for (const auto& [type, payload] : host.packets()) {
      if (type == RemotePacket::input) inputs.push_back(RemoteInput::decodeJson(payload));
      if (type == RemotePacket::input || type == RemotePacket::releaseInput) types.push_back(type);
    }
    return types;
  };
  using enum RemotePacket;
  ASSERT_TRUE(session.runUntil([&] { return order().size() == 5; }));
  EXPECT_EQ(order(), (std::vector{releaseInput, input, input, releaseInput, input}));
  EXPECT_EQ(inputs, (std::vector<RemoteInput>{key, move, move}));
  // Ending the attempt releases what the host may still hold before the connection goes.
  client.disconnect("Stopped");
  ASSERT_TRUE(session.runUntil([&] { return host.ended(); }));
  EXPECT_EQ(order().size(), 6u);
  EXPECT_EQ(order().back(), releaseInput);
}

// Rates are counts over the gap between ticks, a tenth of a second at least. Frames that give no
// picture (P frames whose key frame never arrived) are acknowledged too: the host sends only three
// frames unacknowledged, so three of them would freeze the stream.
TEST(RemoteClientVideo, EveryFrameIsAcknowledgedOnceWithOrWithoutAPictureAndCounted) {
  Session session;
  RemoteClient& client = *session.client;
  auto& host = session.host;
  session.connect();
  host.send(RemotePacket::videoFormat, testStream().format.encodeJson());
  host.sendStream(testStream(), 35, 39);
  host.sendStream(testStream(), 0, 30);
  ASSERT_TRUE(session.runUntil([&] { return session.frames.size() == 30; }));
  for (int i = 0; i < 15; ++i) client.recordPresentation();
  session.now += 1500ms;
  session.queue.tick();  // its ping arrives behind every acknowledgement
  ASSERT_TRUE(session.runUntil([&] { return host.count(RemotePacket::ping) == 1; }));
  EXPECT_EQ(host.count(RemotePacket::frameAck), 34);
  EXPECT_EQ(client.latestFrame(), session.frames.back());
  EXPECT_EQ(client.decodedFPS(), 20);
  EXPECT_EQ(client.displayedFPS(), 10);
  size_t bytes = 0;
  for (size_t index : {35, 36, 37, 38}) bytes += testStream().frames[index].size();
  for (size_t index = 0; index < 30; ++index) bytes += testStream().frames[index].size();
  EXPECT_EQ(client.videoBitRate(), static_cast<int64_t>(static_cast<double>(bytes) * 8 / 1.5));
  EXPECT_EQ(client.decoderName().substr(0, 4), "h264");

  host.sendStream(testStream(), 30, 33);
  ASSERT_TRUE(session.runUntil([&] { return session.frames.size() == 33; }));
  client.recordPresentation();
  client.recordPresentation();
  session.now += 50ms;
  session.queue.tick();
  EXPECT_EQ(client.decodedFPS(), 30);
  EXPECT_EQ(client.displayedFPS(), 20);
  ASSERT_TRUE(session.runUntil([&] { return host.count(RemotePacket::ping) == 2; }));
  host.close();  // with nothing of the client's on its way
  ASSERT_TRUE(session.runUntil([&] { return !client.connected(); }));
  EXPECT_EQ(client.status(), RemoteConnection::kClosedByPeer);
  EXPECT_EQ(client.decodedFPS(), 0);
  EXPECT_EQ(client.videoBitRate(), 0);
  EXPECT_EQ(client.decoderName(), "");
  EXPECT_EQ(client.latestFrame(), nullptr);
}

TEST(RemoteClientExtensions, OfferedInTheConfigurationAndUsedOnlyOnceTheHostConfirmsThem) {
  RemoteClientOptions options;
  options.extensions = SessionExtensions::all();
  Session session(true, options);
  RemoteClient& client = *session.client;
  auto& host = session.host;
  std::vector<std::string> copies;
  std::vector<CursorImage> cursors;
  client.onRemoteCopy = [&](const std::string& text) { copies.push_back(text); };
  client.onCursor = [&](const CursorImage& image) { cursors.push_back(image); };
  const CursorImage dot{.width = 1, .height = 1, .hotX = 0, .hotY = 0, .pixels = {0xFF000000}};

  session.connect();
  ASSERT_TRUE(session.runUntil([&] { return host.count(RemotePacket::configuration) == 1; }));
  // Audio is not offered without an output to play it.
  EXPECT_EQ(host.payloads(RemotePacket::configuration)[0],
            configurationJson({1920, 1080, 120},
                              {SessionExtension::clipboard, SessionExtension::cursor}));
  // Until the host confirms, nothing of the extensions goes either way.
  host.send(RemotePacket::clipboard, "early");
  host.send(RemotePacket::cursor, dot.encode());
  client.copyToRemote("Grüße");
  // A base host confirms with the base keys: the client stays a base client.
  host.send(RemotePacket::configuration, RemoteConfiguration{1920, 1080, 120}.encodeJson());
  ASSERT_TRUE(session.runUntil([&] { return client.status().starts_with("Connected"); }));
  host.send(RemotePacket::clipboard, "base");
  client.copyToRemote("Grüße, 世界 ✓");
  host.send(RemotePacket::ping);
  session.queue.tick();
  ASSERT_TRUE(session.runUntil([&] { return host.count(RemotePacket::ping) == 1; }));
  ASSERT_TRUE(session.drain());
  EXPECT_TRUE(client.extensions().empty());
  EXPECT_EQ(host.count(RemotePacket::clipboard), 0);
  EXPECT_TRUE(copies.empty());
  EXPECT_TRUE(cursors.empty());

  // Our host confirms what it accepted: only those flow, in both directions.
  client.disconnect("again");
  session.connect();
  host.send(RemotePacket::configuration,
            R"({"extensions":["clipboard","telepathy"],"encoder":"libx264","fps":120,)"
            R"("height":1080,"width":1920})");
  ASSERT_TRUE(session.runUntil([&] { return !client.extensions().empty(); }));
  EXPECT_EQ(client.extensions(), SessionExtensions{SessionExtension::clipboard});
  EXPECT_EQ(client.hostEncoder(), "libx264");
  host.send(RemotePacket::cursor, dot.encode());
  host.send(RemotePacket::clipboard, "Zwölf Boxkämpfer");
  ASSERT_TRUE(session.runUntil([&] { return copies.size() == 1; }));
  EXPECT_EQ(copies[0], "Zwölf Boxkämpfer");
  client.copyToRemote("Zwölf Boxkämpfer");  // the host's copy, set here, is not sent back
  client.copyToRemote("Grüße, 世界 ✓");
  client.copyToRemote(std::string(ClipboardExchange::kMaximumBytes + 1, 'm'));
  EXPECT_EQ(client.status(),
            "Connected · 1920×1080 · target 120 fps · copied text over 1 MiB "
            "not sent");
  ASSERT_TRUE(session.runUntil([&] { return host.count(RemotePacket::clipboard) == 1; }));
  EXPECT_EQ(host.payloads(RemotePacket::clipboard)[0], toBytes("Grüße, 世界 ✓"));
  EXPECT_TRUE(cursors.empty());

  // The newest copy of a burst follows once the interval has passed.
  client.copyToRemote("one");
  client.copyToRemote("two");
  session.now += ClipboardExchange::kInterval;
  ASSERT_TRUE(session.runUntil([&] { return host.count(RemotePacket::clipboard) == 2; }));
  EXPECT_EQ(host.payloads(RemotePacket::clipboard)[1], toBytes("two"));
  EXPECT_EQ(client.status(), "Connected · 1920×1080 · target 120 fps");
  client.disconnect("done");
  EXPECT_TRUE(client.extensions().empty());
  EXPECT_EQ(client.hostEncoder(), "");
}

// An output that holds the buffer it plays from; the test pulls in its place.
struct HeldOutput final : AudioOutput {
  void start(std::shared_ptr<AudioJitterBuffer> buffer) override { source = std::move(buffer); }
  void stop() override { source.reset(); }
  std::shared_ptr<AudioJitterBuffer> source;
};

TEST(RemoteClientAudio, OfferedWithAnOutputPlayedOnceConfirmedAndMuted) {
  RemoteClientOptions options;
  options.extensions = SessionExtensions::all();
  const auto output = std::make_shared<HeldOutput>();
  options.audio = output;
  Session session(true, options);
  RemoteClient& client = *session.client;
  auto& host = session.host;
  int error = 0;
  OpusEncoder* encoder =
      opus_encoder_create(48'000, 2, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
  const std::vector<int16_t> tone = test::sine(8'000, 0.1);
  const auto send = [&](uint32_t sequence, size_t step) {
    unsigned char opus[1500];
    const int size = opus_encode(encoder, tone.data() + step * 960, 480, opus, sizeof opus);
    host.send(RemotePacket::audio, AudioPacket{sequence, 0, Bytes(opus, opus + size)}.encode());
  };
  session.connect();
  send(1, 0);  // before the confirmation: dropped
  host.send(RemotePacket::configuration,
            R"({"extensions":["audio"],"fps":120,"height":1080,"width":1920})");
  for (size_t step = 1; step < 6; ++step) send(uint32_t(100 + step), step);
  ASSERT_TRUE(session.runUntil([&] { return output->source != nullptr; }));
  AudioJitterBuffer& buffer = *output->source;
  ASSERT_TRUE(test::waitUntil([&] { return buffer.queuedFrames() == 5 * 480; }));
  std::vector<int16_t> played(5 * 960);
  buffer.pull(played);
  // Past the codec's first few milliseconds: the tone, at its level.
  const test::Tone heard = test::toneOf({played.data() + 2 * 960, 3 * 960}, 1);
  EXPECT_NEAR(heard.hertz, 440, 15);
  EXPECT_NEAR(heard.rms, 8'000 / std::sqrt(2), 1'000);

  client.setAudioMuted(true);
  for (size_t step = 6; step < 9; ++step) send(uint32_t(100 + step), step);
  ASSERT_TRUE(test::waitUntil([&] { return buffer.queuedFrames() == 3 * 480; }));
  buffer.pull(played);
  EXPECT_EQ(test::toneOf(played, 0).rms, 0);
  EXPECT_TRUE(client.audioMuted());
  client.disconnect("done");
  EXPECT_EQ(output->source, nullptr);
  opus_encoder_destroy(encoder);
}

// Acknowledged only once the view has it, so that the host's flow control paces by what is shown.
TEST(RemoteClientVideo, DecodeFailuresAndAViewThatEndsTheAttemptAreNotAcknowledged) {
  const auto undrawable = test::encodeH264(  // decodes, but no view can draw it
      {.frames = 2, .pixelFormat = AV_PIX_FMT_YUV444P, .paint = test::flatPainter(90)});
  const std::string byViewer = "Closed by the viewer.";
  const std::pair<std::function<void(test::ScriptedHost&)>, std::string> cases[] = {
      {[](auto& host) { host.send(RemotePacket::videoFrame, testStream().frames[0]); },
       "Video frame arrived before format."},
      // A format that does not read ends with the reader's own words.
      {[](auto& host) { host.send(RemotePacket::videoFormat, R"({"width":320})"); }, ""},
      {[&](auto& host) { host.sendStream(undrawable, 0, 2); },
       "Video decode callback failed: " + std::to_string(AVERROR(ENOTSUP))},
      {[](auto& host) { host.sendStream(testStream(), 0, 3); }, byViewer}};
  for (const auto& [script, status] : cases) {
    Session session;
    session.connect();
    int pictures = 0;
    session.client->onFrame = [&](const auto&) {
      ++pictures;
      session.client->disconnect(byViewer);
    };
    script(session.host);
    ASSERT_TRUE(session.runUntil([&] { return session.host.ended(); }));
    ASSERT_TRUE(session.drain());
    EXPECT_TRUE(status.empty() || session.client->status() == status) << session.client->status();
    EXPECT_EQ(pictures, status == byViewer ? 1 : 0);
    EXPECT_EQ(session.host.count(RemotePacket::frameAck), 0);
  }
}

// Pictures, pongs and failures already on their way when the attempt ended find it stale.
TEST(RemoteClientLifetime, CallbacksOfAnEndedAttemptChangeNothing) {
  Session session;
  RemoteClient& client = *session.client;
  session.connect();
  session.wall = 1000.25;
  const int mark = session.queue.posted();
  session.host.send(RemotePacket::pong, "1000.0");
  session.host.sendStream(testStream(), 0, 1);
  session.host.send(RemotePacket::failure, "Late failure.");
  // Waits without running the main queue, so that the three callbacks queue up there.
  ASSERT_TRUE(test::waitUntil([&] { return session.queue.posted() == mark + 3; }));
  client.disconnect("Stopped");
  ASSERT_TRUE(session.drain());
  EXPECT_EQ(client.status(), "Stopped");
  EXPECT_EQ(client.rttMilliseconds(), 0);
  EXPECT_TRUE(session.frames.empty());
  EXPECT_TRUE(session.runUntil([&] { return session.host.ended(); }));
  EXPECT_EQ(session.host.count(RemotePacket::frameAck), 0);
}

TEST(RemoteClientLifetime, DestroyingTheClientIsSafeWhileEverythingIsUnderWay) {
  const auto decodeThreads = [] { return test::threadNames().count("veltra.decode"); };
  const size_t threadsBefore = decodeThreads();
  {
    RemoteClientOptions ticking;
    ticking.tickInterval = 5ms;
    Session session(false, ticking);
    session.connect();
    // The queue's thread names itself once it runs.
    EXPECT_TRUE(session.runUntil([&] { return decodeThreads() == threadsBefore + 1; }));
    session.host.sendStream(testStream(), 0, testStream().frames.size());
    ASSERT_TRUE(session.runUntil([&] { return !session.frames.empty(); }));
    session.client.reset();
    EXPECT_EQ(decodeThreads(), threadsBefore);
    ASSERT_TRUE(session.drain());
    EXPECT_TRUE(session.runUntil([&] { return session.host.ended(); }));
    EXPECT_EQ(session.frames.size(), 1u);
  }
  // Mid-handshake: the host answers a client that is gone.
  Session session;
  session.typeHost();
  session.client->connect();
  session.host.accept();
  session.client.reset();
  EXPECT_TRUE(session.runUntil([&] { return session.host.ended(); }));
}

}  // namespace
}  // namespace veltra
