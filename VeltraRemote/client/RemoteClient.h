#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/AudioOutput.h"
#include "codec/RemoteFrame.h"
#include "codec/VideoDecoder.h"
#include "protocol/ClipboardExchange.h"
#include "protocol/CursorImage.h"
#include "protocol/RemoteConfiguration.h"
#include "protocol/RemoteConnection.h"
#include "protocol/RemoteInput.h"
#include "protocol/RemotePacket.h"
#include "protocol/SessionExtensions.h"
#include "support/Bytes.h"
#include "support/ChangeNotifier.h"
#include "support/Generation.h"
#include "support/MainQueue.h"
#include "support/SerialQueue.h"

namespace veltra {

struct RemoteClientOptions {
  using Clock = std::chrono::steady_clock;

  std::chrono::milliseconds tickInterval{1'000};
  // The attempt ends at the first tick after the host has been silent for longer than this.
  std::chrono::milliseconds heartbeatLimit{12'000};
  // Test seam: the clock of the heartbeat and the rates. Monotonic, so that a wall-clock step
  // neither ends a healthy session nor keeps a dead one alive.
  std::function<Clock::time_point()> now = [] { return Clock::now(); };
  // Test seam: the wall clock whose seconds since 2001-01-01 the ping carries and the host echoes.
  std::function<double()> referenceSeconds;
  VideoDecoder::Acceleration acceleration = VideoDecoder::Acceleration::automatic;
  RemoteConnection::Options connection;
  // Offered to the host in every configuration; none keeps the client a base-protocol peer. The
  // window offers what it can show and play (clipboard, cursor, audio); the headless client has
  // none but audio, into a file. Audio is offered only with an output to play it.
  SessionExtensions extensions;
  // Where the sound of the audio extension is played; started when the host confirms the
  // extension, stopped when the attempt ends. Used on the main thread only.
  std::shared_ptr<AudioOutput> audio;
};

// The client side of a remote-desktop session: holds what the user typed, validates it, opens
// one client connection per attempt, asks the host for a display, decodes the stream, hands every
// picture to the view and then acknowledges its access unit, keeps the heartbeat, measures the
// round trip and the frame rates, and forwards input while the view captures it. Each attempt gets
// a fresh connection, decoder and generation; every end of an attempt goes through disconnect(),
// which tears all three down. Nothing throws: failures become `status`, and the typed values stay
// for the next attempt.
//
// THREADING: every field and operation belongs to the main thread (the MainQueue given to the
// constructor). The connection's callbacks, on its wire strand, only route: video packets to the
// decode queue (thread "veltra.decode"), where the decoder runs in packet order, and everything
// else to the main thread. Decoded pictures and failures hop from the decode queue to the main
// thread. Audio packets go to the audio queue (thread "veltra.audio"), which decodes them into the
// attempt's jitter buffer for the output to play. Each hop carries the generation of the attempt
// that installed it and does nothing once that attempt has ended or the client is gone.
//
// LIFETIME: the MainQueue must outlive the client. Destroying the client is safe at any time on
// the main thread except from inside its own callbacks (onFrame, observers): the connection ends
// silently, decode work still queued is skipped, the decode thread is joined, and callbacks
// already under way on other threads find nothing left to reach.
class RemoteClient {
 public:
  using Options = RemoteClientOptions;

  static constexpr const char* kInitialStatus =
      "Enter the host computer’s LAN address and Host connection key.";
  static constexpr const char* kHeartbeatTimedOut = "Host heartbeat timed out.";

  explicit RemoteClient(MainQueue& main, Options options = {});
  ~RemoteClient();

  RemoteClient(const RemoteClient&) = delete;
  RemoteClient& operator=(const RemoteClient&) = delete;

  // What the user typed. connect() validates and uses the values it sees; later edits wait for
  // the next attempt.
  const std::string& address() const { return address_; }
  void setAddress(std::string address);
  const std::string& port() const { return port_; }
  void setPort(std::string port);
  const std::string& connectionKey() const { return connectionKey_; }
  void setConnectionKey(std::string key);
  const RemoteConfiguration& configuration() const { return configuration_; }
  void setConfiguration(RemoteConfiguration configuration);

  const std::string& status() const { return status_; }
  // Authenticated and running. Never true together with connecting().
  bool connected() const { return connected_; }
  // An attempt is under way and not yet authenticated.
  bool connecting() const { return connecting_; }
  // Only while connected and a picture has arrived.
  bool inputEnabled() const { return inputEnabled_; }
  // Pictures decoded and presented per second, as of the last tick; 0 when idle.
  int decodedFPS() const { return decodedFPS_; }
  int displayedFPS() const { return displayedFPS_; }
  // The last heartbeat round trip, fractional (a LAN trip is often well under 1 ms); 0 until
  // one is measured, and kept after the attempt ends.
  double rttMilliseconds() const { return rttMilliseconds_; }
  // Video received per second, in bits, as of the last tick; 0 when idle.
  int64_t videoBitRate() const { return videoBitRate_; }
  // The decoder in use ("h264", "h264 (vaapi)"), once a picture was decoded; "" when idle.
  const std::string& decoderName() const { return decoderName_; }
  // The extensions the host confirmed for this attempt: none until its confirmation, none from
  // a base host, none when the attempt ends.
  SessionExtensions extensions() const { return extensions_; }
  // The sound is dropped rather than played while muted.
  bool audioMuted() const { return audioMuted_; }
  // The host's encoder as its confirmation named it; "" for a base host.
  const std::string& hostEncoder() const { return hostEncoder_; }
  // The newest picture of the current attempt. Not announced to observers: onFrame is.
  const std::shared_ptr<const RemoteFrame>& latestFrame() const { return latestFrame_; }

  // Announces, after the fact, every change of the fields above but latestFrame.
  ChangeNotifier& changes() { return changes_; }

  // The host's clipboard text (clipboard extension), for the local clipboard.
  std::function<void(const std::string&)> onRemoteCopy;
  // The host's pointer image (cursor extension), for the pointer over the picture.
  std::function<void(const CursorImage&)> onCursor;

  // Set by the view: called with every decoded picture of the current attempt, before its
  // access unit is acknowledged to the host.
  std::function<void(const std::shared_ptr<const RemoteFrame>&)> onFrame;

  // Validates address, port, key and configuration, in that order, and starts an attempt; the
  // first failing check becomes the status and nothing opens. Does nothing while connecting or
  // connected.
  void connect();
  // Ends the current attempt, if any, and shows `reason` as the status.
  void disconnect(const std::string& reason);
  // Input forwarding turns on only while connected with a picture on screen. Whenever it ends up
  // off, the host is told to release whatever it still holds pressed.
  void setInputEnabled(bool enabled);
  // Forwards `input` to the host while input is enabled; invalid input is dropped silently.
  void send(const RemoteInput& input);
  // The local clipboard now holds `text`: it goes to the host while the clipboard extension is
  // on, at most one copy per ClipboardExchange::kInterval (the newest wins), never back to where
  // it came from; a copy over ClipboardExchange::kMaximumBytes is named in the status instead.
  void copyToRemote(std::string text);
  void setAudioMuted(bool muted);
  // Counts one picture that reached the screen; called by the frame presentation.
  void recordPresentation();

 private:
  using Clock = Options::Clock;
  struct Link;
  struct DecodeLane;
  struct AudioLane;

  // Handlers of the attempt's callbacks, on the main thread once the generation has been checked.
  void authenticated();
  void received(RemotePacket type, const Bytes& payload);
  // One videoFrame decoded without failure: its pictures (usually one, possibly none) go to the
  // view, then the access unit is acknowledged.
  void accessUnitDecoded(const std::vector<std::shared_ptr<const RemoteFrame>>& pictures,
                         size_t bytes, const std::string& decoder);
  void confirmed(const Bytes& payload);
  SessionExtensions offered() const;
  void clipboardDue();
  std::string connectedStatus() const;
  void tick();
  static void decodeOnQueue(const std::shared_ptr<Link>& link, DecodeLane& lane,
                            Generation generation, RemotePacket type, const Bytes& payload);
  static void playOnQueue(AudioLane& lane, const Bytes& payload);

  void startAttempt();
  void endAttempt(const std::string& reason);
  void applyInputEnabled(bool enabled);
  void retire(std::shared_ptr<DecodeLane> lane);

  // Observable fields change through update(); publish() then tells the observers, once per
  // operation, so they never see a half-made change.
  template <typename T>
  void update(T& field, T value);
  void publish();

  MainQueue& main_;
  Options options_;
  ChangeNotifier changes_;
  bool changed_ = false;

  // Observable.
  std::string address_;
  std::string port_ = "9876";
  std::string connectionKey_;
  RemoteConfiguration configuration_{1920, 1080, 120};
  std::string status_ = kInitialStatus;
  bool connected_ = false;
  bool connecting_ = false;
  bool inputEnabled_ = false;
  int decodedFPS_ = 0;
  int displayedFPS_ = 0;
  double rttMilliseconds_ = 0;
  int64_t videoBitRate_ = 0;
  std::string decoderName_;
  SessionExtensions extensions_;
  bool audioMuted_ = false;
  std::string hostEncoder_;

  std::shared_ptr<const RemoteFrame> latestFrame_;

  // The current attempt. wire_, decoder_ and generation_ change together.
  std::unique_ptr<RemoteConnection> wire_;
  std::shared_ptr<DecodeLane> decoder_;
  // Only when there is an output; its buffer goes to the output at the host's confirmation.
  std::shared_ptr<AudioLane> audio_;
  bool audioPlaying_ = false;
  Generation generation_ = newGeneration();
  // The display this attempt asked for: the value connect() validated.
  RemoteConfiguration requested_;
  TaskHandle timer_;
  int decodedCount_ = 0;
  int displayedCount_ = 0;
  int64_t videoBytes_ = 0;
  Clock::time_point lastStats_;
  ClipboardExchange clipboard_;
  TaskHandle clipboardTimer_;
  Clock::time_point lastPong_;

  // What callbacks on other threads may reach; emptied when the client is destroyed.
  const std::shared_ptr<Link> link_;
  // Declared last so that they are joined first, before anything their tasks could reach.
  SerialQueue audioQueue_{"veltra.audio"};
  SerialQueue decodeQueue_{"veltra.decode"};
};

// A round trip as the status lines show it: one decimal below 10 ms ("0.4 ms"), whole
// milliseconds from there ("123 ms"), "<0.1 ms" below what one decimal can show and "– ms"
// while nothing is measured (0). Any thread.
std::string roundTripText(double milliseconds);

}  // namespace veltra
