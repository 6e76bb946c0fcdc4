// Drives a host-role and a client-role channel with arbitrary input. The input is a list of
// operations: raw bytes straight to the channel (plaintext handshake, garbage, bad lengths), or
// a record sealed by a real peer that completed the handshake, so that the session phase is
// reached as well. The channels must never crash, and never deliver a packet type below 10.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/RemotePacket.h"
#include "protocol/SecureChannel.h"

using namespace veltra;

namespace {

struct Sink final : SecureChannel::Sink {
  void write(Bytes frame) override { writes.push_back(std::move(frame)); }
  void ready() override { ++readyCount; }
  void packet(RemotePacket type, Bytes) override {
    if (rawValue(type) < kFirstSessionPacket) abort();
    ++packets;
  }
  std::vector<Bytes> writes;
  int readyCount = 0;
  int packets = 0;
};

SecretKey fixedKey() {
  std::array<uint8_t, 32> bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  return SecretKey(bytes);
}

Bytes fixedNonce(uint8_t fill) {
  return Bytes(32, fill);
}

// Runs a clean handshake between `target` and a peer channel, both with fixed nonces.
bool handshake(SecureChannel& target, SecureChannel& peer, Sink& targetSink, Sink& peerSink) {
  SecureChannel& client = target.role() == RemoteRole::client ? target : peer;
  SecureChannel& host = target.role() == RemoteRole::host ? target : peer;
  Sink& clientSink = &client == &target ? targetSink : peerSink;
  Sink& hostSink = &host == &target ? targetSink : peerSink;
  client.transportReady(clientSink);
  host.receive(clientSink.writes.back(), hostSink);
  client.receive(hostSink.writes.back(), clientSink);
  host.receive(clientSink.writes.back(), hostSink);
  client.receive(hostSink.writes.back(), clientSink);
  return client.established() && host.established();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const RemoteRole role = data[0] & 1 ? RemoteRole::host : RemoteRole::client;
  const bool establishFirst = data[0] & 2;
  const SecretKey key = fixedKey();
  SecureChannel target(role, key,
                       [role] { return fixedNonce(role == RemoteRole::client ? 1 : 2); });
  SecureChannel peer(otherRole(role), key,
                     [role] { return fixedNonce(role == RemoteRole::client ? 2 : 1); });
  Sink sink, peerSink;
  if (establishFirst) {
    if (!handshake(target, peer, sink, peerSink)) abort();
  } else if (role == RemoteRole::client) {
    target.transportReady(sink);
  }

  size_t offset = 1;
  while (offset + 2 <= size) {
    const uint8_t op = data[offset];
    const size_t length = std::min<size_t>(data[offset + 1], size - offset - 2);
    const ByteView chunk(data + offset + 2, length);
    offset += 2 + length;
    const size_t writesBefore = sink.writes.size();
    const bool wasFailed = target.failed();
    try {
      if (op & 1 && peer.established() && !chunk.empty()) {
        target.receive(peer.seal(static_cast<RemotePacket>(chunk[0]), chunk.subspan(1)), sink);
      } else {
        target.receive(chunk, sink);
      }
    } catch (const std::exception&) {
      if (!target.failed()) abort();
    }
    if (wasFailed && sink.writes.size() != writesBefore) abort();  // nothing after a failure
  }
  if (sink.readyCount > 1) abort();
  return 0;
}
