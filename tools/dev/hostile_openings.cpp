#include "hostile_openings.h"

#include "protocol/PacketFramer.h"
#include "protocol/RemotePacket.h"

namespace veltra::hostile {

const char* nameOf(Opening opening) {
  switch (opening) {
    case Opening::silent:
      return "silent";
    case Opening::garbage:
      return "garbage";
    case Opening::giant:
      return "giant";
    case Opening::hello:
      return "hello";
  }
  return "";
}

std::optional<Opening> openingNamed(const std::string& name) {
  for (Opening opening : kOpenings) {
    if (name == nameOf(opening)) return opening;
  }
  return std::nullopt;
}

std::vector<uint8_t> openingBytes(Opening opening, std::mt19937& random) {
  std::vector<uint8_t> bytes;
  switch (opening) {
    case Opening::silent:
      break;
    case Opening::garbage:
      // Past the handshake's frame limit, but for a chance of one in a million that is no
      // packet either.
      bytes.resize(4096);
      for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
      break;
    case Opening::giant:
      bytes = {0x40, 0x00, 0x00, 0x00};
      break;
    case Opening::hello: {
      Bytes body{static_cast<uint8_t>(RemotePacket::hello)};
      while (body.size() < 1 + 32) body.push_back(static_cast<uint8_t>(random()));  // the nonce
      bytes = PacketFramer::frame(body);
      break;
    }
  }
  return bytes;
}

}  // namespace veltra::hostile
