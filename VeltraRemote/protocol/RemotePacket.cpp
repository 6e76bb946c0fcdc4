#include "protocol/RemotePacket.h"

namespace veltra {

const char* packetName(RemotePacket packet) {
  switch (packet) {
    case RemotePacket::hello:
      return "hello";
    case RemotePacket::challenge:
      return "challenge";
    case RemotePacket::proof:
      return "proof";
    case RemotePacket::authenticated:
      return "authenticated";
    case RemotePacket::configuration:
      return "configuration";
    case RemotePacket::videoFormat:
      return "videoFormat";
    case RemotePacket::videoFrame:
      return "videoFrame";
    case RemotePacket::input:
      return "input";
    case RemotePacket::releaseInput:
      return "releaseInput";
    case RemotePacket::ping:
      return "ping";
    case RemotePacket::pong:
      return "pong";
    case RemotePacket::failure:
      return "failure";
    case RemotePacket::frameAck:
      return "frameAck";
    case RemotePacket::clipboard:
      return "clipboard";
    case RemotePacket::cursor:
      return "cursor";
    case RemotePacket::audio:
      return "audio";
  }
  return "unknown";
}

}  // namespace veltra
