#pragma once

// How a hostile peer opens its connection to a host: what veltra-hostile-load throws at a host
// and what the host tests hold the listener to. Plain data, no sockets.

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace veltra::hostile {

enum class Opening {
  silent,   // connects and never speaks
  garbage,  // bytes that cannot be a frame
  giant,    // the header of a 1 GiB frame, then its body a byte at a time
  hello,    // a well-formed hello, then nothing
};

inline constexpr Opening kOpenings[] = {Opening::silent, Opening::garbage, Opening::giant,
                                        Opening::hello};

const char* nameOf(Opening opening);
std::optional<Opening> openingNamed(const std::string& name);

// The bytes sent as soon as the connection is up (none for silent), drawn from `random`.
std::vector<uint8_t> openingBytes(Opening opening, std::mt19937& random);

// Whether the peer then keeps sending single bytes (trickleByte) to look alive.
inline bool trickles(Opening opening) {
  return opening == Opening::giant;
}
inline constexpr uint8_t kTrickleByte = 0x42;

}  // namespace veltra::hostile
