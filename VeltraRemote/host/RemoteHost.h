#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "host/HandshakeGate.h"
#include "host/HostAudio.h"
#include "host/HostClipboard.h"
#include "host/HostPlatform.h"
#include "protocol/ClipboardExchange.h"
#include "protocol/CursorImage.h"
#include "protocol/RemoteConfiguration.h"
#include "protocol/RemoteConnection.h"
#include "protocol/RemotePacket.h"
#include "protocol/SessionExtensions.h"
#include "support/Bytes.h"
#include "support/ChangeNotifier.h"
#include "support/Generation.h"
#include "support/MainQueue.h"

namespace veltra {

class RemoteListener;
class SecretKey;

struct RemoteHostOptions {
  using Clock = std::chrono::steady_clock;

  std::chrono::milliseconds watchdogInterval{2'000};
  // A client silent for longer than this is cancelled at the next watchdog tick.
  std::chrono::milliseconds silenceLimit{12'000};
  // How often a stop looks whether a session is still being configured or ended.
  std::chrono::milliseconds stopPollInterval{20};
  RemoteConnection::Options connection;
  // How many handshakes run at once and what a source that stalls one pays.
  HandshakeGate::Limits handshakes;
  // Test seam: the clock of the watchdog and of the handshake gate.
  std::function<Clock::time_point()> now = [] { return Clock::now(); };
};

// The host service: listens for one client at a time, authenticates it (several handshakes run
// at once and the first to prove the key is the client; HandshakeGate keeps strangers who stall
// from holding the door), gives it a virtual display of the mode it asks for, streams that
// display and injects its input, supervises it with a watchdog and tears every session down
// through one path (endSession). Its published fields (status, running, connected, stopping,
// connectionKey, port) are what the host window and the headless program show; observers hear of
// every change through changes().
//
// THREADING: everything, public or private, runs on the main queue. Callbacks from the listener
// strand, the wire strand and the capture and encoder threads hop there first and then check the
// generation of the listener or session that installed them, so late callbacks of an ended
// session do nothing. Nothing here blocks: display creation and capture start and stop complete
// asynchronously.
//
// LIFETIME: one per program. Destroying it releases everything it holds and reports nothing;
// callbacks still queued find it gone.
class RemoteHost {
 public:
  using Options = RemoteHostOptions;
  static constexpr uint16_t kDefaultPort = 9876;

  RemoteHost(MainQueue& main, std::unique_ptr<HostPlatform> platform, Options options = {});
  ~RemoteHost();

  RemoteHost(const RemoteHost&) = delete;
  RemoteHost& operator=(const RemoteHost&) = delete;

  const std::string& status() const { return status_; }
  bool running() const { return running_; }
  bool connected() const { return connected_; }
  bool stopping() const { return stopping_; }
  const std::string& connectionKey() const { return connectionKey_; }
  uint16_t port() const { return port_; }
  // What runs in this hosting run's displays (set by start()): a command, or "" for nothing.
  const std::string& session() const { return session_; }
  // Taken at the next start().
  void setConnectionKey(std::string key);
  void setPort(uint16_t port);
  // Taken at the next start() too: an IP address of this machine to listen on, "" (the default)
  // for every interface.
  void setBindAddress(std::string address);
  // "" for the first desktop session installed, "none" for an empty display, else a shell
  // command (HostPlatform::chooseSession).
  void setSessionChoice(std::string choice);
  ChangeNotifier& changes() { return changes_; }

  // Asked of the platform at every read.
  bool screenPermission() { return platform_->screenPermission(); }
  bool inputPermission() { return platform_->inputPermission(); }

  // There is nothing to grant on X11: re-checks and tells the user what to install.
  void requestPermissions();
  // Starts hosting; every failure is reported through status.
  void start();
  // Stops hosting; the last steps (session teardown, display removal) complete asynchronously,
  // ending with status "Stopped", or with the listener's failure when that is why it stopped.
  void stop();
  // Ends the current client's connection, if any.
  void disconnect();

 private:
  using Clock = Options::Clock;
  struct Alive {};

  void setStatus(std::string status);
  void setFlag(bool& field, bool value);
  // Runs a task on the main queue if the host still exists by then. Made on the main thread and
  // then safe to call from any thread: it touches nothing of the host until it is back on main.
  struct Hop {
    MainQueue* main;
    std::weak_ptr<Alive> alive;
    RemoteHost* host;
    void operator()(std::function<void(RemoteHost&)> task) const;
  };
  Hop hop() { return Hop{&main_, alive_, this}; }

  void accept(asio::ip::tcp::socket socket, const SecretKey& secret);
  // A pending handshake proved the key: it becomes the session and the others are closed.
  void handshakeReady(Generation handshake);
  // A connection ended: a pending handshake is judged and dropped, the session's ends the session.
  void wireEnded(Generation handshake, const std::string& reason);
  void listenerFailed(const std::string& error);
  void watchdogTick();
  void finishStop();

  void handlePacket(RemotePacket type, const Bytes& payload,
                    const std::shared_ptr<RemoteConnection>& wire, Generation session);
  void configure(const Bytes& payload, std::shared_ptr<RemoteConnection> wire, Generation session);
  void displayReady(const RemoteConfiguration& configuration,
                    std::shared_ptr<RemoteConnection> wire, Generation session);
  void captureStarted(const RemoteConfiguration& configuration,
                      std::shared_ptr<RemoteCapture> capture,
                      std::shared_ptr<RemoteConnection> wire, Generation session,
                      const std::string& error);
  void configureFailed(const std::string& text, const std::shared_ptr<RemoteConnection>& wire);
  // The extensions' traffic, once confirmed.
  void displayCopied(HostClipboard::Copy copy, Generation session);
  void clipboardDue(Generation session);
  void cursorChanged(CursorImage image, Generation session);
  void captureFailed(const std::string& text, const std::shared_ptr<RemoteConnection>& wire,
                     Generation session);
  // Sends the failure text and closes `wire` once it is written; the session's teardown runs
  // at once without waiting for that.
  void sendFailure(const std::string& text, const std::shared_ptr<RemoteConnection>& wire);
  // The one teardown of a session. `done` runs when it is complete, or at once when another
  // teardown is already running.
  void endSession(const std::string& reason, std::function<void()> done = {});

  MainQueue& main_;
  const std::unique_ptr<HostPlatform> platform_;
  const Options options_;
  ChangeNotifier changes_;

  // Published.
  std::string status_ = "Stopped";
  bool running_ = false;
  bool connected_ = false;
  bool stopping_ = false;
  std::string connectionKey_;
  uint16_t port_ = kDefaultPort;
  std::string bindAddress_;
  std::string session_;
  std::string sessionChoice_;

  std::unique_ptr<RemoteListener> listener_;
  std::shared_ptr<RemoteConnection> connection_;  // set once authenticated
  // Connections still in their handshake, by their own generation; empty while a session runs.
  std::map<Generation, std::shared_ptr<RemoteConnection>> handshakes_;
  HandshakeGate gate_;
  std::unique_ptr<VirtualDisplay> display_;
  std::optional<RemoteConfiguration> displayConfiguration_;
  std::shared_ptr<RemoteCapture> capture_;
  // The session's extensions: what the client offered (nothing from a base client, whose
  // confirmation then carries the base keys only), what the host accepted, and since the
  // confirmation went out, what is live.
  std::optional<SessionExtensions> offered_;
  SessionExtensions accepted_;
  SessionExtensions live_;
  std::string streamingStatus_;
  std::unique_ptr<HostClipboard> clipboard_;
  // Records the display's sound once the confirmation is out; its packets go to the connection.
  std::unique_ptr<HostAudio> audio_;
  ClipboardExchange clipboardExchange_;
  TaskHandle clipboardTimer_;
  // The newest cursor image reported before the confirmation, sent right after it.
  std::optional<CursorImage> pendingCursor_;
  bool starting_ = false;
  bool ending_ = false;
  Generation listenerGeneration_ = newGeneration();
  Generation generation_ = newGeneration();
  const std::unique_ptr<RemoteInputInjector> injector_;
  TaskHandle watchdog_;
  Clock::time_point lastMessage_;
  std::unique_ptr<ProcessActivity> activity_;
  // Why the listener failed, kept as the final status of the stop it caused.
  std::optional<std::string> stopReason_;

  // Callbacks hold this weakly; it dies with the host.
  const std::shared_ptr<Alive> alive_ = std::make_shared<Alive>();
};

}  // namespace veltra
