#pragma once

#include <functional>
#include <optional>

#include "protocol/PacketFramer.h"
#include "protocol/RemotePacket.h"
#include "protocol/RemoteRole.h"
#include "protocol/SecretKey.h"
#include "protocol/SessionCipher.h"
#include "support/Bytes.h"

namespace veltra {

// The socket-free heart of a connection: handshake state machine, framing, sealing and opening.
// RemoteConnection feeds it transport events and received chunks and writes what it emits;
// tests and fuzzers drive it directly.
//
// Handshake (client first): hello(client nonce) -> challenge(host nonce, host proof) ->
// proof(client proof) -> sealed authenticated. `phase`: 0 start, 1 host sent its challenge,
// 2 client sent its proof and holds the ciphers, 3 established.
//
// THREADING: a plain value, used on one connection's wire strand only.
class SecureChannel {
 public:
  // Before authentication no legitimate frame exceeds 65 bytes; an unauthenticated peer does not
  // get to make us buffer megabytes.
  static constexpr uint32_t kHandshakeFrameLimit = 4096;

  // Receives what the channel produces, synchronously, in order.
  class Sink {
   public:
    virtual void write(Bytes frame) = 0;
    virtual void ready() = 0;
    virtual void packet(RemotePacket type, Bytes payload) = 0;

   protected:
    virtual ~Sink() = default;
  };

  // Tests and fuzzers only: replaces the secure random nonce.
  using NonceSource = std::function<Bytes()>;

  SecureChannel(RemoteRole role, const SecretKey& secret, NonceSource nonceSource = {});

  // The transport is connected: the client sends its hello, the host waits.
  void transportReady(Sink& sink);

  // One received chunk. Every complete frame is processed in order; the first failure throws
  // (RemoteError, CipherError) and the frames after it are not processed. After a throw the
  // channel is dead: it ignores further input and emits nothing.
  void receive(ByteView chunk, Sink& sink);

  // A session packet as a whole frame. Only once established. Throws RemoteError::invalidPacket
  // for a payload too large to frame, RemoteError::unavailable once the send key is exhausted.
  Bytes seal(RemotePacket type, ByteView payload);

  RemoteRole role() const { return role_; }
  int phase() const { return phase_; }
  bool established() const { return phase_ == 3; }
  bool failed() const { return failed_; }

 private:
  void process(Bytes body, Sink& sink);
  void processHandshake(const Bytes& body, Sink& sink);
  void establish();
  Bytes freshNonce();

  RemoteRole role_;
  SecretKey secret_;
  NonceSource nonceSource_;
  PacketFramer framer_;
  Bytes clientNonce_;
  Bytes hostNonce_;
  std::optional<SessionCipher> outbound_;
  std::optional<SessionCipher> inbound_;
  int phase_ = 0;
  bool failed_ = false;
};

}  // namespace veltra
