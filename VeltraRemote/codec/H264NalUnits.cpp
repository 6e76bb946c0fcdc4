#include "codec/H264NalUnits.h"

#include <cstring>

namespace veltra::h264 {
namespace {

// Index of the next 00 00 01 at or after `from`, or stream.size(). Looks for the 01 with memchr:
// frames run to megabytes and 01 bytes are rare in them.
size_t findStartCode(ByteView stream, size_t from) {
  const size_t size = stream.size();
  for (size_t one = from + 2; one < size; ++one) {
    const void* found = std::memchr(stream.data() + one, 1, size - one);
    if (!found) break;
    one = static_cast<size_t>(static_cast<const uint8_t*>(found) - stream.data());
    if (stream[one - 1] == 0 && stream[one - 2] == 0) return one - 2;
  }
  return size;
}

}  // namespace

std::vector<ByteView> splitAnnexB(ByteView stream) {
  std::vector<ByteView> nals;
  size_t start = findStartCode(stream, 0);
  while (start < stream.size()) {
    const size_t begin = start + 3;
    const size_t next = findStartCode(stream, begin);
    // Trailing zeros belong to the padding or to the next 4-byte start code, not to this unit.
    size_t end = next;
    while (end > begin && stream[end - 1] == 0) --end;
    if (end > begin) nals.push_back(stream.subspan(begin, end - begin));
    start = next;
  }
  return nals;
}

size_t lengthPrefixedSize(std::span<const ByteView> nals) {
  size_t size = 0;
  for (ByteView nal : nals) size += 4 + nal.size();
  return size;
}

Bytes lengthPrefixed(std::span<const ByteView> nals) {
  Bytes out;
  out.reserve(lengthPrefixedSize(nals));
  for (ByteView nal : nals) {
    const auto length = static_cast<uint32_t>(nal.size());
    const uint8_t prefix[4] = {static_cast<uint8_t>(length >> 24),
                               static_cast<uint8_t>(length >> 16),
                               static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    out.insert(out.end(), prefix, prefix + 4);
    out.insert(out.end(), nal.begin(), nal.end());
  }
  return out;
}

}  // namespace veltra::h264
