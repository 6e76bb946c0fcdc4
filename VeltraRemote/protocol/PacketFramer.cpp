#include "protocol/PacketFramer.h"

#include <algorithm>

#include "protocol/RemoteError.h"

namespace veltra {

Bytes PacketFramer::frame(ByteView body) {
  if (body.empty() || body.size() > maximumSize) throw RemoteError::invalidPacket();
  const auto size = static_cast<uint32_t>(body.size());
  Bytes framed;
  framed.reserve(kHeaderSize + body.size());
  framed.push_back(static_cast<uint8_t>(size >> 24));
  framed.push_back(static_cast<uint8_t>(size >> 16));
  framed.push_back(static_cast<uint8_t>(size >> 8));
  framed.push_back(static_cast<uint8_t>(size));
  framed.insert(framed.end(), body.begin(), body.end());
  return framed;
}

std::vector<Bytes> PacketFramer::append(ByteView chunk, uint32_t limit) {
  limit = std::min(limit, maximumSize);
  std::vector<Bytes> bodies;
  size_t offset = 0;
  while (offset < chunk.size()) {
    if (expected_ == 0) {
      const size_t take = std::min(kHeaderSize - headerSize_, chunk.size() - offset);
      std::copy_n(chunk.begin() + static_cast<std::ptrdiff_t>(offset), take,
                  header_.begin() + static_cast<std::ptrdiff_t>(headerSize_));
      headerSize_ += take;
      offset += take;
      if (headerSize_ < kHeaderSize) break;
      const uint32_t length = (uint32_t{header_[0]} << 24) | (uint32_t{header_[1]} << 16) |
                              (uint32_t{header_[2]} << 8) | uint32_t{header_[3]};
      // Checked before waiting for the body, so an absurd length costs nothing.
      if (length == 0 || length > limit) throw RemoteError::invalidPacket();
      expected_ = length;
      body_.clear();
      body_.reserve(length);
    }
    const size_t take = std::min<size_t>(expected_ - body_.size(), chunk.size() - offset);
    body_.insert(body_.end(), chunk.begin() + static_cast<std::ptrdiff_t>(offset),
                 chunk.begin() + static_cast<std::ptrdiff_t>(offset + take));
    offset += take;
    if (body_.size() == expected_) {
      bodies.push_back(std::move(body_));
      body_ = Bytes();
      expected_ = 0;
      headerSize_ = 0;
    }
  }
  return bodies;
}

size_t PacketFramer::bufferedSize() const {
  return expected_ == 0 ? headerSize_ : kHeaderSize + body_.size();
}

}  // namespace veltra
