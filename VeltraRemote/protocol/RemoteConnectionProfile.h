#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/RemoteConfiguration.h"
#include "support/Bytes.h"

namespace veltra {

// The exported connection profile: everything a client needs to reach one host, as a small JSON
// file. It holds the connection key in plain text.
//
// Fields are kept exactly as given: validated() refuses, it never trims or corrects, so a key
// with a trailing newline is written back with that newline.
struct RemoteConnectionProfile {
  static constexpr size_t kMaximumFileSize = 16384;

  int version = 1;
  std::string address;
  uint16_t port = 0;
  std::string connectionKey;
  RemoteConfiguration configuration{.width = 1920, .height = 1080, .fps = 60};

  // Version 1 and 1920×1080 at 60 fps: the profile the host exports.
  RemoteConnectionProfile(std::string hostAddress, uint16_t hostPort, std::string keyText);
  RemoteConnectionProfile(int formatVersion, std::string hostAddress, uint16_t hostPort,
                          std::string keyText, RemoteConfiguration display);

  // This profile, unchanged, if it obeys every rule; else throws RemoteError::unavailable. The
  // rules run in a fixed order and the first failure decides the message: version 1; an address
  // of 1 to 253 user-perceived characters, valid UTF-8, with no Unicode white space and no "/";
  // port 1024 or above; a supported display mode ("Invalid connection profile: …"); then the key,
  // trimmed, must be Base64 of 32 bytes ("Use the 32-byte connection key …").
  RemoteConnectionProfile validated() const;

  // The file bytes: validated() first, then pretty-printed JSON with keys sorted at every level.
  // The same profile always gives the same bytes.
  Bytes encoded() const;

  // Bytes of a file → a validated profile. Throws RemoteError::unavailable for a file over
  // kMaximumFileSize bytes (before parsing) or a profile that breaks a rule, and JsonError for
  // text that is not JSON or lacks, mistypes or overflows a field.
  static RemoteConnectionProfile decode(ByteView bytes);

  friend bool operator==(const RemoteConnectionProfile&, const RemoteConnectionProfile&) = default;
};

}  // namespace veltra
