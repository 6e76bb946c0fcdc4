#pragma once

#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "protocol/PacketSender.h"
#include "protocol/RemotePacket.h"
#include "protocol/RemoteRole.h"
#include "protocol/SecretKey.h"
#include "support/Bytes.h"

namespace veltra {

// One authenticated, encrypted packet channel over one TCP connection, for both ends: the host
// wraps each accepted socket, the client makes one per connection attempt. It runs the
// handshake, then turns send() calls into sealed frames and received frames into onPacket calls,
// and ends exactly once, reporting why through onEnd.
//
// THREADING: every step runs on the connection's own strand ("wire") over the process-wide
// network thread. start(), send() and cancel() may be called from any thread. The callbacks run
// on the wire strand, never concurrently with each other; owners hop to their own queue from
// there and must not block it. After the end all three callbacks are dropped.
//
// LIFETIME: the owner holds the connection; destroying it ends the connection silently: once the
// destructor returns no callback runs, not even one already queued, and one running on the wire
// strand at that moment has finished (the destructor waits for it, so callbacks must never wait
// for the thread that destroys their connection). The strand's pending work keeps the internals
// alive until done.
//
// ENDING: the owner hears of the end at once, and every callback and completion is let go then.
// The socket itself lingers on the network thread, holding nothing of the owner's: what was queued
// before the end is written, our sending side is shut, and the peer's bytes are read and dropped
// until it closes, each step for at most a second. Closing with the peer's bytes unread would
// make the kernel answer with a reset, which may throw away what we sent last.
struct RemoteConnectionOptions {
  // Time from start() by which the handshake must be complete. Tests shorten it.
  std::chrono::milliseconds handshakeDeadline{10'000};
};

class RemoteConnection final : public PacketSender {
 public:
  using Role = RemoteRole;
  using Options = RemoteConnectionOptions;

  // Reasons given to onEnd (besides transport error texts and the errors' descriptions).
  static constexpr const char* kTimedOut = "Connection or authentication timed out.";
  static constexpr const char* kClosedByPeer = "Host closed the connection.";
  static constexpr const char* kDisconnected = "Disconnected";

  // A client connection to `address` (host name or IP literal) and `port`; resolved and
  // connected asynchronously once started, with TCP_NODELAY and address reuse.
  static std::unique_ptr<RemoteConnection> client(std::string address, uint16_t port,
                                                  const SecretKey& secret, Options options = {});
  // A host connection around a socket that the listener accepted.
  static std::unique_ptr<RemoteConnection> accepted(asio::ip::tcp::socket socket,
                                                    const SecretKey& secret, Options options = {});

  ~RemoteConnection() override;
  RemoteConnection(const RemoteConnection&) = delete;
  RemoteConnection& operator=(const RemoteConnection&) = delete;

  // Set these before start(); start() takes them over and later changes are not seen.
  std::function<void()> onReady;
  std::function<void(RemotePacket type, Bytes payload)> onPacket;
  std::function<void(std::string reason)> onEnd;

  Role role() const { return role_; }

  // Begins connecting (client) or the handshake (host), and the handshake deadline. Once.
  void start();
  // Queues one session packet. Dropped, with its completion called at once, before the
  // handshake is complete or after the end. Otherwise the completion runs once the kernel has
  // taken the bytes (or the write failed), or at the end if that comes first (the bytes still
  // go out). Completions run on the wire strand.
  void send(RemotePacket type, Bytes payload, std::function<void()> completion = {}) override;
  // Ends the connection with "Disconnected". Any thread, any number of times.
  void cancel();

 private:
  class Core;
  RemoteConnection(std::shared_ptr<Core> core, Role role);

  std::shared_ptr<Core> core_;
  Role role_;
};

}  // namespace veltra
