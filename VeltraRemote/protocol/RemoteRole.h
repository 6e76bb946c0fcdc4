#pragma once

#include <string_view>

namespace veltra {

// Which end of a connection; also the direction word of a session cipher (the role of the side
// that seals with it).
enum class RemoteRole { client, host };

constexpr std::string_view roleWord(RemoteRole role) {
  return role == RemoteRole::host ? "host" : "client";
}

constexpr RemoteRole otherRole(RemoteRole role) {
  return role == RemoteRole::host ? RemoteRole::client : RemoteRole::host;
}

// Prefix of every proof message and key-derivation info.
inline constexpr std::string_view kLabelPrefix = "veltra.remote.v1.";

}  // namespace veltra
