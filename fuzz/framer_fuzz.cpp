// Feeds arbitrary chunks to the framer and checks it against the plainest possible reassembly
// of the same stream: any difference in bodies or in where it fails is a bug.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "protocol/PacketFramer.h"
#include "protocol/RemoteError.h"

using veltra::Bytes;
using veltra::ByteView;
using veltra::PacketFramer;

namespace {

// Whole-stream reference: the bodies before the first bad length, and whether one occurred.
struct Reference {
  std::vector<Bytes> bodies;
  std::optional<size_t> failAt;  // stream offset just past the bad length field
};

Reference reassemble(ByteView stream, uint32_t limit) {
  Reference out;
  size_t offset = 0;
  while (stream.size() - offset >= 4) {
    const uint32_t length = uint32_t{stream[offset]} << 24 | uint32_t{stream[offset + 1]} << 16 |
                            uint32_t{stream[offset + 2]} << 8 | stream[offset + 3];
    if (length == 0 || length > limit) {
      out.failAt = offset + 4;
      return out;
    }
    if (stream.size() - offset - 4 < length) break;
    out.bodies.emplace_back(stream.begin() + offset + 4, stream.begin() + offset + 4 + length);
    offset += 4 + length;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // First byte: chunk size seed; second: whether to use the handshake limit.
  const size_t chunkSeed = data[0];
  const uint32_t limit = data[1] & 1 ? 4096 : PacketFramer::maximumSize;
  const ByteView stream(data + 2, size - 2);
  const Reference reference = reassemble(stream, limit);

  PacketFramer framer;
  std::vector<Bytes> bodies;
  size_t offset = 0;
  size_t step = 0;
  bool failed = false;
  while (offset < stream.size()) {
    const size_t chunk = std::min(stream.size() - offset, 1 + (chunkSeed * (step + 7)) % 97);
    try {
      for (auto& body : framer.append(stream.subspan(offset, chunk), limit)) {
        bodies.push_back(std::move(body));
      }
    } catch (const veltra::RemoteError&) {
      failed = true;
      // The throw must come with the chunk that completed the bad length field.
      if (!reference.failAt || *reference.failAt <= offset || *reference.failAt > offset + chunk) {
        abort();
      }
      break;
    }
    offset += chunk;
    ++step;
  }
  if (failed != reference.failAt.has_value()) abort();
  if (!failed) {
    if (bodies != reference.bodies) abort();
  } else {
    // Bodies returned before the failing chunk are a prefix of the reference.
    if (bodies.size() > reference.bodies.size()) abort();
    for (size_t i = 0; i < bodies.size(); ++i) {
      if (bodies[i] != reference.bodies[i]) abort();
    }
  }
  return 0;
}
