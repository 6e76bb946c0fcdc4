// Drives a host-role or a client-role channel with arbitrary input. The first byte picks the
// role and whether a clean handshake with a real peer comes first; the rest is a list of
// operations (op byte, length byte, bytes): raw bytes straight to the channel (plaintext
// handshake, garbage, bad lengths) or, with an odd op once the peer is established, a record of
// the type in the first byte sealed by that peer, so that the session phase is reached as well.
// The channel must never crash, never deliver a packet type below 10, never write after it
// failed, and be ready at most once.

#include "fuzz_support.h"
#include "protocol/RemotePacket.h"
#include "protocol/SecureChannel.h"

using namespace veltra;
using fuzz::check;

namespace {

struct Sink final : SecureChannel::Sink {
  void write(Bytes frame) override { writes.push_back(std::move(frame)); }
  void ready() override { ++readyCount; }
  void packet(RemotePacket type, Bytes) override { check(rawValue(type) >= kFirstSessionPacket); }
  std::vector<Bytes> writes;
  int readyCount = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader reader(ByteView(data, size));
  if (reader.left() < 1) return 0;
  const uint8_t setup = reader.byte();
  const RemoteRole role = setup & 1 ? RemoteRole::host : RemoteRole::client;
  std::array<uint8_t, 32> keyBytes{};
  for (size_t i = 0; i < keyBytes.size(); ++i) keyBytes[i] = static_cast<uint8_t>(i);
  const SecretKey key(keyBytes);
  // Fixed nonces: 1s for the client, 2s for the host.
  auto nonce = [](RemoteRole of) {
    return [of] { return Bytes(32, of == RemoteRole::client ? 1 : 2); };
  };
  SecureChannel target(role, key, nonce(role));
  SecureChannel peer(otherRole(role), key, nonce(otherRole(role)));
  Sink sink, peerSink;
  if (setup & 2) {
    const bool client = role == RemoteRole::client;
    SecureChannel& clientChannel = client ? target : peer;
    SecureChannel& hostChannel = client ? peer : target;
    Sink& clientSink = client ? sink : peerSink;
    Sink& hostSink = client ? peerSink : sink;
    clientChannel.transportReady(clientSink);
    for (int step = 0; step < 2; ++step) {
      hostChannel.receive(clientSink.writes.back(), hostSink);
      clientChannel.receive(hostSink.writes.back(), clientSink);
    }
    check(target.established() && peer.established());
  } else if (role == RemoteRole::client) {
    target.transportReady(sink);
  }

  while (reader.left() >= 2) {
    const uint8_t op = reader.byte();
    const ByteView chunk = reader.bytes(reader.byte());
    const size_t writesBefore = sink.writes.size();
    const bool wasFailed = target.failed();
    try {
      if (op & 1 && peer.established() && !chunk.empty()) {
        target.receive(peer.seal(static_cast<RemotePacket>(chunk[0]), chunk.subspan(1)), sink);
      } else {
        target.receive(chunk, sink);
      }
    } catch (const std::exception&) {
      check(target.failed());
    }
    check(!wasFailed || sink.writes.size() == writesBefore);
  }
  check(sink.readyCount <= 1);
  return 0;
}
