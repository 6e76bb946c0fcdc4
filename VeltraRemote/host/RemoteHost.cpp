#include "host/RemoteHost.h"

#include "host/RemoteListener.h"
#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"
#include "protocol/RemoteInput.h"
#include "protocol/SecretKey.h"

namespace veltra {
namespace {

const char kScreenPermission[] = "Screen capture needs the Xvfb virtual display server.";
const char kInputPermission[] = "Remote input needs the XTEST extension.";
const char kPermissionAdvice[] =
    "Veltra Host needs Xvfb for the virtual display and XTEST for remote input; install the xvfb "
    "package and restart Host.";
const char kBadPort[] = "Use a port between 1024 and 65535.";
const char kActivityReason[] = "Veltra remote desktop session";
// What this host can serve, of what a client may offer.
constexpr SessionExtensions kServedExtensions{SessionExtension::clipboard, SessionExtension::cursor,
                                              SessionExtension::audio};
const char kCopyTooLarge[] = " · copied text over 1 MiB not sent";
// How long a failure text may take to reach a client before its connection is closed anyway.
constexpr std::chrono::seconds kFailureFlush{2};

}  // namespace

RemoteHost::RemoteHost(MainQueue& main, std::unique_ptr<HostPlatform> platform, Options options)
    : main_(main),
      platform_(std::move(platform)),
      options_(std::move(options)),
      connectionKey_(RemoteAuthentication::newKey()),
      gate_(options_.handshakes),
      injector_(platform_->makeInjector()),
      lastMessage_(options_.now()) {}

RemoteHost::~RemoteHost() {
  if (listener_) listener_->cancel();
  watchdog_.cancel();
  // The capture waits for its queue; the display goes through the platform like any other.
  capture_.reset();
  if (display_) platform_->releaseDisplay(std::move(display_));
  RemoteAuthentication::wipeKeyText(connectionKey_);
}

void RemoteHost::setStatus(std::string status) {
  if (status == status_) return;
  status_ = std::move(status);
  changes_.notify();
}

void RemoteHost::setFlag(bool& field, bool value) {
  if (field == value) return;
  field = value;
  changes_.notify();
}

void RemoteHost::setConnectionKey(std::string key) {
  if (key == connectionKey_) return;
  RemoteAuthentication::wipeKeyText(connectionKey_);
  connectionKey_ = std::move(key);
  changes_.notify();
}

void RemoteHost::setPort(uint16_t port) {
  if (port == port_) return;
  port_ = port;
  changes_.notify();
}

void RemoteHost::setBindAddress(std::string address) {
  bindAddress_ = std::move(address);
}

void RemoteHost::setSessionChoice(std::string choice) {
  sessionChoice_ = std::move(choice);
}

void RemoteHost::Hop::operator()(std::function<void(RemoteHost&)> task) const {
  main->post([alive = alive, host = host, task = std::move(task)] {
    if (alive.lock()) task(*host);
  });
}

void RemoteHost::requestPermissions() {
  // Nothing to ask the system for; the checks themselves run again at the next start().
  platform_->screenPermission();
  platform_->inputPermission();
  setStatus(kPermissionAdvice);
}

void RemoteHost::start() {
  if (running_ || stopping_) return;
  if (!platform_->screenPermission()) return setStatus(kScreenPermission);
  if (!platform_->inputPermission()) return setStatus(kInputPermission);
  SecretKey secret;
  try {
    secret = RemoteAuthentication::secret(connectionKey_);
  } catch (const RemoteError& error) {
    return setStatus(error.what());
  }
  if (port_ < 1024) return setStatus(kBadPort);
  session_ = platform_->chooseSession(sessionChoice_);

  listener_ = std::make_unique<RemoteListener>(port_, bindAddress_);
  listenerGeneration_ = newGeneration();
  const Generation listener = listenerGeneration_;
  listener_->onReady = [hop = hop(), listener] {
    hop([listener](RemoteHost& host) {
      if (!host.running_ || host.listenerGeneration_ != listener) return;
      host.setStatus("Listening on port " + std::to_string(host.port_) +
                     " · LAN / private network");
    });
  };
  listener_->onFailed = [hop = hop(), listener](std::string error) {
    hop([listener, error](RemoteHost& host) {
      if (!host.running_ || host.listenerGeneration_ != listener) return;
      host.listenerFailed(error);
    });
  };
  listener_->onConnection = [hop = hop(), listener, secret](asio::ip::tcp::socket socket) {
    auto held = std::make_shared<asio::ip::tcp::socket>(std::move(socket));
    hop([listener, secret, held](RemoteHost& host) {
      if (host.listenerGeneration_ != listener) return;  // the socket closes with `held`
      host.accept(std::move(*held), secret);
    });
  };

  running_ = true;
  changes_.notify();
  setStatus("Starting listener…");
  listener_->start();
  watchdog_ = main_.repeating(options_.watchdogInterval, [this, alive = std::weak_ptr(alive_)] {
    if (alive.lock()) watchdogTick();
  });
}

void RemoteHost::listenerFailed(const std::string& error) {
  stop();
  // The failure, not the stop it caused, is what the user needs to read.
  stopReason_ = error;
  setStatus(error);
}

void RemoteHost::accept(asio::ip::tcp::socket socket, const SecretKey& secret) {
  asio::error_code error;
  const asio::ip::tcp::endpoint peer = socket.remote_endpoint(error);
  const asio::ip::tcp::endpoint local = error ? peer : socket.local_endpoint(error);
  const Generation handshake = newGeneration();
  HandshakeGate::Decision decision;
  if (running_ && !starting_ && !ending_ && !connection_ && !error) {
    decision = gate_.arrive(peer.address(), handshake, options_.now(), local.address());
  }
  if (!decision.admitted) {
    // One client at a time, and a source that stalled waits its turn: the newcomer's
    // connection is closed without a word.
    socket.close(error);
    return;
  }
  // Destroying the evicted connection ends it silently; the gate has judged it already.
  if (decision.evicted) handshakes_.erase(decision.evicted);

  std::shared_ptr<RemoteConnection> wire =
      RemoteConnection::accepted(std::move(socket), secret, options_.connection);
  handshakes_[handshake] = wire;
  setStatus("Authenticating device…");

  // The connection's callbacks run on its strand; they hold the connection weakly (it holds
  // them) and the host through hop().
  std::weak_ptr<RemoteConnection> weakWire = wire;
  wire->onReady = [hop = hop(), handshake] {
    hop([handshake](RemoteHost& host) { host.handshakeReady(handshake); });
  };
  // One main-queue task per packet, so packets are handled in arrival order. They come only
  // after onReady's task, which made this connection the session or closed it.
  wire->onPacket = [hop = hop(), handshake, weakWire](RemotePacket type, Bytes payload) {
    hop([handshake, weakWire, type, payload = std::move(payload)](RemoteHost& host) {
      if (auto current = weakWire.lock()) host.handlePacket(type, payload, current, handshake);
    });
  };
  wire->onEnd = [hop = hop(), handshake](std::string reason) {
    hop([handshake, reason](RemoteHost& host) { host.wireEnded(handshake, reason); });
  };
  wire->start();
}

void RemoteHost::handshakeReady(Generation handshake) {
  auto found = handshakes_.find(handshake);
  if (found == handshakes_.end()) return;
  gate_.ended(handshake, HandshakeGate::Outcome::authenticated, options_.now());
  connection_ = std::move(found->second);
  handshakes_.erase(found);
  // One session: the handshakes still running lose, without a penalty.
  handshakes_.clear();
  gate_.clear();
  generation_ = handshake;
  lastMessage_ = options_.now();
  setFlag(connected_, true);
  setStatus("Authenticated · waiting for display configuration");
}

void RemoteHost::wireEnded(Generation handshake, const std::string& reason) {
  auto found = handshakes_.find(handshake);
  if (found == handshakes_.end()) {
    if (generation_ == handshake) endSession(reason);
    return;
  }
  handshakes_.erase(found);
  // Running out of time is stalling; a wrong key or garbage is a failure, which costs nothing
  // unless it came only after the connection had held its slot too long.
  gate_.ended(handshake,
              reason == RemoteConnection::kTimedOut ? HandshakeGate::Outcome::stalled
                                                    : HandshakeGate::Outcome::failed,
              options_.now());
  // A stranger's end must not hide a handshake still running: only the last one reports.
  if (handshakes_.empty()) setStatus(reason + " · listening on " + std::to_string(port_));
}

void RemoteHost::watchdogTick() {
  if (connected_ && options_.now() - lastMessage_ > options_.silenceLimit && connection_) {
    connection_->cancel();
  }
}

void RemoteHost::disconnect() {
  if (connection_) connection_->cancel();
}

void RemoteHost::stop() {
  if (stopping_) return;
  stopping_ = true;
  stopReason_.reset();
  listenerGeneration_ = newGeneration();
  generation_ = newGeneration();
  connected_ = false;
  injector_->releaseAll();
  if (connection_) connection_->cancel();
  handshakes_.clear();
  gate_.clear();
  running_ = false;
  if (listener_) listener_->cancel();
  listener_.reset();
  watchdog_.cancel();
  watchdog_ = {};
  changes_.notify();
  finishStop();
}

// Waits for a configuration or teardown in progress, then ends the session and removes the
// display.
void RemoteHost::finishStop() {
  if (ending_ || starting_) {
    main_.postDelayed(options_.stopPollInterval, [this, alive = std::weak_ptr(alive_)] {
      if (alive.lock()) finishStop();
    });
    return;
  }
  endSession("Stopped", [this] {
    if (display_) platform_->releaseDisplay(std::move(display_));
    displayConfiguration_.reset();
    if (stopReason_) setStatus(*stopReason_);
    setFlag(stopping_, false);
  });
}

void RemoteHost::handlePacket(RemotePacket type, const Bytes& payload,
                              const std::shared_ptr<RemoteConnection>& wire, Generation session) {
  if (generation_ != session) return;
  lastMessage_ = options_.now();
  switch (type) {
    case RemotePacket::configuration:
      configure(payload, wire, session);
      break;
    case RemotePacket::input:
      if (!capture_) break;
      try {
        injector_->apply(RemoteInput::decodeJson(payload));
      } catch (const JsonError&) {
        // Input that does not decode is dropped.
      }
      break;
    case RemotePacket::releaseInput:
      injector_->releaseAll();
      break;
    case RemotePacket::ping:
      wire->send(RemotePacket::pong, payload);
      break;
    case RemotePacket::frameAck:
      if (capture_) capture_->encoder().acknowledgeFrame();
      break;
    case RemotePacket::clipboard:
      // Only once confirmed; before that the type is as unknown as to a base host.
      if (live_.has(SessionExtension::clipboard) && clipboard_) {
        if (std::optional<std::string> text = clipboardExchange_.remote(payload)) {
          clipboard_->setText(std::move(*text));
        }
      }
      break;
    default:
      break;
  }
}

void RemoteHost::configure(const Bytes& payload, std::shared_ptr<RemoteConnection> wire,
                           Generation session) {
  // A session is configured once; later configuration packets are ignored.
  if (generation_ != session || !running_ || starting_ || ending_ || capture_) return;
  starting_ = true;

  RemoteConfiguration configuration;
  try {
    configuration = RemoteConfiguration::decodeJson(payload);
  } catch (const JsonError& error) {
    return configureFailed(error.what(), wire);
  }
  if (!configuration.isValid()) return configureFailed(RemoteError::invalidPacket().what(), wire);

  offered_ = configurationExtras(payload).extensions;
  accepted_ = offered_.value_or(SessionExtensions{}) & kServedExtensions;
  if (accepted_.has(SessionExtension::clipboard)) {
    clipboard_ = platform_->makeClipboard();
    if (!clipboard_) {
      accepted_ = accepted_ & SessionExtensions{SessionExtension::cursor, SessionExtension::audio};
    }
  }
  if (accepted_.has(SessionExtension::audio)) {
    audio_ = platform_->makeAudio();
    if (!audio_) {
      accepted_ =
          accepted_ & SessionExtensions{SessionExtension::clipboard, SessionExtension::cursor};
    }
  }

  // A display whose server died (killed, crashed) would only fail the capture again.
  if (display_ && displayConfiguration_ == configuration && display_->alive()) {
    return displayReady(configuration, std::move(wire), session);
  }
  if (display_) platform_->releaseDisplay(std::move(display_));
  platform_->createDisplay(configuration,
                           [this, alive = std::weak_ptr(alive_), configuration, wire, session](
                               std::unique_ptr<VirtualDisplay> display, std::string error) {
                             if (!alive.lock()) {
                               return;  // `display`, if any, ends with this task
                             }
                             if (display) {
                               display_ = std::move(display);
                               displayConfiguration_ = configuration;
                             }
                             if (generation_ != session || !connected_) {
                               // The session ended while the display started; the display stays for
                               // the next one unless hosting stopped, whose teardown removes it
                               // once starting_ clears.
                               starting_ = false;
                               return;
                             }
                             if (!error.empty()) return configureFailed(error, wire);
                             displayReady(configuration, wire, session);
                           });
}

void RemoteHost::displayReady(const RemoteConfiguration& configuration,
                              std::shared_ptr<RemoteConnection> wire, Generation session) {
  if (!display_) return configureFailed("Virtual display creation failed.", wire);
  const uint32_t displayID = display_->displayID();
  injector_->setDisplayID(displayID);

  std::shared_ptr<RemoteCapture> capture;
  try {
    capture = platform_->makeCapture(configuration, wire);
  } catch (const std::exception& error) {
    return configureFailed(error.what(), wire);
  }
  capture->onFailure = [hop = hop(), wire, session](std::string text) {
    hop([wire, session, text](RemoteHost& host) { host.captureFailed(text, wire, session); });
  };
  if (accepted_.has(SessionExtension::cursor)) {
    capture->reportCursor([hop = hop(), session](CursorImage image) {
      hop([session, image = std::move(image)](RemoteHost& host) mutable {
        host.cursorChanged(std::move(image), session);
      });
    });
  }
  capture_ = capture;
  capture->start(displayID, [this, alive = std::weak_ptr(alive_), configuration, capture, wire,
                             session](std::string error) {
    if (alive.lock()) captureStarted(configuration, capture, wire, session, error);
  });
}

void RemoteHost::captureStarted(const RemoteConfiguration& configuration,
                                std::shared_ptr<RemoteCapture> capture,
                                std::shared_ptr<RemoteConnection> wire, Generation session,
                                const std::string& error) {
  if (generation_ != session || !connected_) {
    // The session ended while the capture started: stop it (again) and say nothing.
    capture->stop([this, alive = std::weak_ptr(alive_), capture] {
      if (alive.lock()) starting_ = false;
    });
    return;
  }
  if (!error.empty()) return configureFailed(error, wire);

  activity_ = platform_->beginActivity(kActivityReason);
  streamingStatus_ = "Streaming " + std::to_string(configuration.width) + "×" +
                     std::to_string(configuration.height) + " · requested " +
                     std::to_string(configuration.fps) + " fps";
  setStatus(streamingStatus_);
  // A base client named no extensions and gets the base confirmation, byte for byte.
  wire->send(RemotePacket::configuration,
             offered_ ? configurationJson(configuration, accepted_, capture->encoder().name())
                      : configuration.encodeJson());
  live_ = accepted_;
  if (pendingCursor_) {
    wire->send(RemotePacket::cursor, pendingCursor_->encode());
    pendingCursor_.reset();
  }
  if (clipboard_ && live_.has(SessionExtension::clipboard)) {
    clipboard_->onCopy = [hop = hop(), session](HostClipboard::Copy copy) {
      hop([session, copy = std::move(copy)](RemoteHost& host) mutable {
        host.displayCopied(std::move(copy), session);
      });
    };
    clipboard_->start(display_ ? display_->displayID() : 0);
  }
  if (audio_ && live_.has(SessionExtension::audio)) {
    audio_->onPacket = [hop = hop(), session](AudioPacket packet) {
      hop([session, packet = std::move(packet)](RemoteHost& host) {
        if (host.generation_ == session && host.connection_) {
          host.connection_->send(RemotePacket::audio, packet.encode());
        }
      });
    };
    audio_->start(display_ ? display_->displayID() : 0);
  }
  starting_ = false;
}

void RemoteHost::displayCopied(HostClipboard::Copy copy, Generation session) {
  if (generation_ != session || !connection_ || !live_.has(SessionExtension::clipboard)) return;
  const ClipboardExchange::Verdict verdict =
      copy.tooLarge ? ClipboardExchange::Verdict::tooLarge
                    : clipboardExchange_.local(std::move(copy.text), options_.now());
  switch (verdict) {
    case ClipboardExchange::Verdict::send:
      connection_->send(RemotePacket::clipboard, toBytes(clipboardExchange_.takeOutgoing()));
      if (status_ != streamingStatus_) setStatus(streamingStatus_);
      break;
    case ClipboardExchange::Verdict::later:
      if (!clipboardTimer_) clipboardDue(session);
      break;
    case ClipboardExchange::Verdict::tooLarge:
      setStatus(streamingStatus_ + kCopyTooLarge);
      break;
    case ClipboardExchange::Verdict::unchanged:
    case ClipboardExchange::Verdict::refused:
      break;
  }
}

// Sends the copy the rate limit held back once its turn comes, waiting on a timer until then.
void RemoteHost::clipboardDue(Generation session) {
  clipboardTimer_ = {};
  if (generation_ != session || !connection_) return;
  if (std::optional<std::string> text = clipboardExchange_.due(options_.now())) {
    connection_->send(RemotePacket::clipboard, toBytes(*text));
    if (status_ != streamingStatus_) setStatus(streamingStatus_);
    return;
  }
  const std::optional<Clock::time_point> next = clipboardExchange_.nextDue();
  if (!next) return;
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*next - options_.now());
  clipboardTimer_ = main_.postDelayed(wait + std::chrono::milliseconds(1), [hop = hop(), session] {
    hop([session](RemoteHost& host) { host.clipboardDue(session); });
  });
}

void RemoteHost::cursorChanged(CursorImage image, Generation session) {
  if (generation_ != session || !connection_ || !accepted_.has(SessionExtension::cursor)) return;
  if (!image.isValid()) return;
  if (!live_.has(SessionExtension::cursor)) {
    pendingCursor_ = std::move(image);  // the confirmation is not out yet
    return;
  }
  connection_->send(RemotePacket::cursor, image.encode());
}

void RemoteHost::configureFailed(const std::string& text,
                                 const std::shared_ptr<RemoteConnection>& wire) {
  sendFailure(text, wire);
  endSession(text, [this] { starting_ = false; });
}

void RemoteHost::captureFailed(const std::string& text,
                               const std::shared_ptr<RemoteConnection>& wire, Generation session) {
  if (generation_ != session) return;
  sendFailure(text, wire);
  endSession(text);
}

// The failing connection is taken out of the session (the teardown no longer cancels it) and
// closed once the failure is written, or after kFailureFlush for a client that stopped reading, so
// that the client reads why its session ended before the end itself.
void RemoteHost::sendFailure(const std::string& text,
                             const std::shared_ptr<RemoteConnection>& wire) {
  if (connection_ == wire) connection_.reset();
  std::weak_ptr<RemoteConnection> weakWire = wire;
  wire->send(RemotePacket::failure, toBytes(text),
             [main = &main_, alive = std::weak_ptr(alive_), weakWire] {
               main->post([alive, weakWire] {
                 if (!alive.lock()) return;
                 if (auto written = weakWire.lock()) written->cancel();
               });
             });
  // Holds the connection until then; it is destroyed here, on the main queue, like the others.
  main_.postDelayed(kFailureFlush, [wire] { wire->cancel(); });
}

void RemoteHost::endSession(const std::string& reason, std::function<void()> done) {
  if (ending_) {
    if (done) done();
    return;
  }
  ending_ = true;
  generation_ = newGeneration();
  setFlag(connected_, false);
  offered_.reset();
  accepted_ = live_ = {};
  clipboard_.reset();
  audio_.reset();
  clipboardExchange_ = {};
  clipboardTimer_.cancel();
  clipboardTimer_ = {};
  pendingCursor_.reset();
  injector_->releaseAll();
  if (connection_) connection_->cancel();
  connection_.reset();

  auto finish = [this, reason, done = std::move(done)] {
    activity_.reset();
    setStatus(running_ ? reason + " · listening on " + std::to_string(port_) : "Stopped");
    ending_ = false;
    if (done) done();
  };
  std::shared_ptr<RemoteCapture> capture = std::move(capture_);
  capture_.reset();
  if (!capture) return finish();
  capture->stop([alive = std::weak_ptr(alive_), capture, finish = std::move(finish)] {
    if (alive.lock()) finish();
  });
}

}  // namespace veltra
