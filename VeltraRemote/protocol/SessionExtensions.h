#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "protocol/RemoteConfiguration.h"
#include "support/Bytes.h"

namespace veltra {

// The protocol extensions a peer speaks, negotiated in the configuration exchange so that a peer
// of the base protocol never sees anything it cannot ignore: the client lists the ones it offers
// under one extra key of its configuration ("extensions": ["clipboard", "cursor"]), which a base
// host ignores; our host answers with the ones it accepted under the same key of its confirming
// configuration, which a base client ignores. An extension's packets flow only after that
// confirmation. docs/protocol-extensions.md has the wire of each.
enum class SessionExtension : uint8_t {
  clipboard = 1 << 0,  // text copied on either side, both ways
  cursor = 1 << 1,     // the pointer's image from the host, drawn by the client
  audio = 1 << 2,      // the display's sound, Opus, from the host
};

// A set of extensions. Any thread (a value).
class SessionExtensions {
 public:
  constexpr SessionExtensions() = default;
  constexpr SessionExtensions(std::initializer_list<SessionExtension> extensions) {
    for (SessionExtension extension : extensions) bits_ |= static_cast<uint8_t>(extension);
  }
  static constexpr SessionExtensions all() {
    return {SessionExtension::clipboard, SessionExtension::cursor, SessionExtension::audio};
  }

  constexpr bool has(SessionExtension extension) const {
    return (bits_ & static_cast<uint8_t>(extension)) != 0;
  }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr SessionExtensions operator|(SessionExtension extension) const {
    return fromBits(bits_ | static_cast<uint8_t>(extension));
  }
  constexpr SessionExtensions operator&(SessionExtensions other) const {
    return fromBits(bits_ & other.bits_);
  }
  friend constexpr bool operator==(SessionExtensions, SessionExtensions) = default;

  // The wire names, in a fixed order.
  std::vector<std::string> names() const;

 private:
  static constexpr SessionExtensions fromBits(uint8_t bits) {
    SessionExtensions set;
    set.bits_ = bits;
    return set;
  }
  uint8_t bits_ = 0;
};

// The configuration JSON with the "extensions" key (and `encoder`, when given, under "encoder":
// the host's confirmation names its encoder for the client's statistics) added. Without
// extensions and encoder it is byte for byte RemoteConfiguration::encodeJson().
Bytes configurationJson(const RemoteConfiguration& configuration, SessionExtensions extensions,
                        const std::string& encoder = {});

// What a peer's configuration JSON says beyond the mode.
struct ConfigurationExtras {
  // Nothing when the "extensions" key is missing or not an array: a base peer. Names not known
  // here and entries that are not strings are skipped.
  std::optional<SessionExtensions> extensions;
  // The "encoder" string, "" when missing or not a string.
  std::string encoder;
};
// Never throws: the mode's own keys are RemoteConfiguration::decodeJson()'s business, and a
// payload that is no JSON object has no extras.
ConfigurationExtras configurationExtras(ByteView json);

}  // namespace veltra
