#pragma once

#include <functional>

#include "protocol/RemotePacket.h"
#include "support/Bytes.h"

namespace veltra {

// Where session packets go. RemoteConnection is the real one; the video encoder and the host's
// session logic take this narrow view of it so that tests can record what they send.
class PacketSender {
 public:
  virtual ~PacketSender() = default;
  // Queues one packet; `completion` runs exactly once, when the bytes were taken or the packet
  // was dropped, on a thread of the sender's choosing. Any thread.
  virtual void send(RemotePacket type, Bytes payload, std::function<void()> completion = {}) = 0;
};

}  // namespace veltra
