// Feeds arbitrary chunks to the framer and checks it against the plainest possible reassembly
// of the same stream: any difference in bodies or in where it fails is a bug.

#include <optional>

#include "fuzz_support.h"
#include "protocol/PacketFramer.h"
#include "protocol/RemoteError.h"

using namespace veltra;
using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // First byte: chunk size seed; second: whether to use the handshake limit.
  const size_t chunkSeed = data[0];
  const uint32_t limit = data[1] & 1 ? 4096 : PacketFramer::maximumSize;
  const ByteView stream(data + 2, size - 2);

  // The reference: the bodies before the first bad length, and the stream offset just past it.
  std::vector<Bytes> expected;
  std::optional<size_t> failAt;
  for (size_t at = 0; stream.size() - at >= 4;) {
    const uint32_t length = uint32_t{stream[at]} << 24 | uint32_t{stream[at + 1]} << 16 |
                            stream[at + 2] << 8 | stream[at + 3];
    if (length == 0 || length > limit) {
      failAt = at + 4;
      break;
    }
    if (stream.size() - at - 4 < length) break;
    expected.emplace_back(stream.begin() + at + 4, stream.begin() + at + 4 + length);
    at += 4 + length;
  }

  PacketFramer framer;
  std::vector<Bytes> bodies;
  for (size_t offset = 0, step = 0; offset < stream.size(); ++step) {
    const size_t chunk = std::min(stream.size() - offset, 1 + (chunkSeed * (step + 7)) % 97);
    try {
      for (auto& body : framer.append(stream.subspan(offset, chunk), limit)) {
        bodies.push_back(std::move(body));
      }
    } catch (const RemoteError&) {
      // The throw comes with the chunk that completed the bad length field, and the bodies
      // returned before it are a prefix of the reference.
      check(failAt && *failAt > offset && *failAt <= offset + chunk);
      check(bodies.size() <= expected.size() &&
            std::equal(bodies.begin(), bodies.end(), expected.begin()));
      return 0;
    }
    offset += chunk;
  }
  check(!failAt && bodies == expected);
  return 0;
}
