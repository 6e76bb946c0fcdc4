#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "support/Bytes.h"

// H.264 byte-stream helpers for the encoder's output step: FFmpeg's encoders write Annex B
// (start-code-delimited NAL units); the wire carries 4-byte big-endian length-prefixed units with
// the parameter sets sent apart. Pure functions, so they are tested byte by byte.
namespace veltra::h264 {

constexpr uint8_t kIdrSlice = 5;
constexpr uint8_t kSequenceParameterSet = 7;
constexpr uint8_t kPictureParameterSet = 8;

inline uint8_t nalType(ByteView nal) {
  return nal.empty() ? 0 : static_cast<uint8_t>(nal[0] & 0x1F);
}

// The NAL units of an Annex B stream, as views into `stream`: without their start codes and
// without the zero bytes that may pad a unit before the next start code (a NAL unit never ends
// in 0x00). Bytes before the first start code and empty units are skipped.
std::vector<ByteView> splitAnnexB(ByteView stream);

// Size of `nals` written as 4-byte big-endian length-prefixed units.
size_t lengthPrefixedSize(std::span<const ByteView> nals);

// `nals` as 4-byte big-endian length-prefixed units in one buffer: each byte copied once.
Bytes lengthPrefixed(std::span<const ByteView> nals);

}  // namespace veltra::h264
