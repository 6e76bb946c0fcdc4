#include "protocol/RemoteError.h"

namespace veltra {

RemoteError::RemoteError(Kind kind, const std::string& description)
    : std::runtime_error(description), kind_(kind) {}

RemoteError RemoteError::unavailable(std::string reason) {
  return RemoteError(Kind::unavailable, reason);
}

RemoteError RemoteError::invalidPacket() {
  return RemoteError(Kind::invalidPacket, "Invalid remote protocol packet.");
}

RemoteError RemoteError::authentication() {
  return RemoteError(Kind::authentication,
                     "Device authentication failed. Check the connection key.");
}

}  // namespace veltra
