#include "protocol/SecureChannel.h"

#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteError.h"

namespace veltra {
namespace {

Bytes handshakeFrame(RemotePacket type, std::initializer_list<ByteView> parts) {
  Bytes body{rawValue(type)};
  for (ByteView part : parts) body.insert(body.end(), part.begin(), part.end());
  return PacketFramer::frame(body);
}

}  // namespace

SecureChannel::SecureChannel(RemoteRole role, const SecretKey& secret, NonceSource nonceSource)
    : role_(role), secret_(secret), nonceSource_(std::move(nonceSource)) {}

Bytes SecureChannel::freshNonce() {
  return nonceSource_ ? nonceSource_() : RemoteAuthentication::nonce();
}

void SecureChannel::transportReady(Sink& sink) {
  if (failed_ || role_ != RemoteRole::client || !clientNonce_.empty()) return;
  try {
    clientNonce_ = freshNonce();
    sink.write(handshakeFrame(RemotePacket::hello, {clientNonce_}));
  } catch (...) {
    failed_ = true;
    throw;
  }
}

void SecureChannel::receive(ByteView chunk, Sink& sink) {
  if (failed_) return;
  try {
    const uint32_t limit = established() ? PacketFramer::maximumSize : kHandshakeFrameLimit;
    for (Bytes& body : framer_.append(chunk, limit)) process(std::move(body), sink);
  } catch (...) {
    failed_ = true;
    throw;
  }
}

Bytes SecureChannel::seal(RemotePacket type, ByteView payload) {
  if (failed_ || !established()) throw RemoteError::invalidPacket();
  try {
    return outbound_->sealFrame(rawValue(type), payload);
  } catch (...) {
    failed_ = true;
    throw;
  }
}

void SecureChannel::process(Bytes body, Sink& sink) {
  if (failed_) return;
  if (phase_ == 3) {
    Bytes plaintext = inbound_->open(body);
    if (plaintext.empty() || plaintext[0] < kFirstSessionPacket) throw RemoteError::invalidPacket();
    const auto type = remotePacket(plaintext[0]);
    if (!type) throw RemoteError::invalidPacket();
    plaintext.erase(plaintext.begin());
    sink.packet(*type, std::move(plaintext));
    return;
  }
  if (phase_ == 2 && role_ == RemoteRole::client) {
    const Bytes plaintext = inbound_->open(body);
    if (plaintext.size() != 1 || plaintext[0] != rawValue(RemotePacket::authenticated)) {
      throw RemoteError::authentication();
    }
    phase_ = 3;
    sink.ready();
    return;
  }
  processHandshake(body, sink);
}

void SecureChannel::processHandshake(const Bytes& body, Sink& sink) {
  const auto type = body.empty() ? std::nullopt : remotePacket(body[0]);
  if (!type) throw RemoteError::invalidPacket();
  const ByteView payload = ByteView(body).subspan(1);

  if (role_ == RemoteRole::client && *type == RemotePacket::challenge && phase_ == 0 &&
      payload.size() == 2 * RemoteAuthentication::kNonceSize && !clientNonce_.empty()) {
    hostNonce_.assign(payload.begin(), payload.begin() + RemoteAuthentication::kNonceSize);
    const ByteView hostProof = payload.subspan(RemoteAuthentication::kNonceSize);
    if (!RemoteAuthentication::verify(hostProof, secret_, clientNonce_, hostNonce_,
                                      RemoteRole::host)) {
      throw RemoteError::authentication();
    }
    establish();
    phase_ = 2;
    const Bytes proof =
        RemoteAuthentication::proof(secret_, clientNonce_, hostNonce_, RemoteRole::client);
    sink.write(handshakeFrame(RemotePacket::proof, {proof}));
    return;
  }
  if (role_ == RemoteRole::host && *type == RemotePacket::hello && phase_ == 0 &&
      payload.size() == RemoteAuthentication::kNonceSize) {
    clientNonce_.assign(payload.begin(), payload.end());
    hostNonce_ = freshNonce();
    phase_ = 1;
    const Bytes proof =
        RemoteAuthentication::proof(secret_, clientNonce_, hostNonce_, RemoteRole::host);
    sink.write(handshakeFrame(RemotePacket::challenge, {hostNonce_, proof}));
    return;
  }
  if (role_ == RemoteRole::host && *type == RemotePacket::proof && phase_ == 1) {
    if (!RemoteAuthentication::verify(payload, secret_, clientNonce_, hostNonce_,
                                      RemoteRole::client)) {
      throw RemoteError::authentication();
    }
    establish();
    sink.write(outbound_->sealFrame(rawValue(RemotePacket::authenticated), {}));
    phase_ = 3;
    sink.ready();
    return;
  }
  // A known type in the wrong phase or role, or a hello or challenge of the wrong length.
  throw RemoteError::authentication();
}

void SecureChannel::establish() {
  outbound_.emplace(secret_, clientNonce_, hostNonce_, role_);
  inbound_.emplace(secret_, clientNonce_, hostNonce_, otherRole(role_));
}

}  // namespace veltra
