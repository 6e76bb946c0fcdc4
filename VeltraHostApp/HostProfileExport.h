#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "support/Bytes.h"

namespace veltra {

// Writes `bytes` to `path` readable and writable by its owner only from the first byte: a
// temporary file in the same folder, created exclusively with mode 0600, flushed to disk, then
// renamed over `path`. The key inside never sits in a file other local users may read, and a
// failure at any step leaves no partial file behind. Returns the system's description of the
// error, or nothing on success. Blocking file I/O; any thread.
std::optional<std::string> writeOwnerOnlyFile(const std::filesystem::path& path, ByteView bytes);

// Exports the host's connection profile (1920×1080 at 60 fps) to `path` and returns the line the
// window shows: "Connection JSON saved. …" or "Could not export connection JSON: " + why.
std::string exportConnectionProfile(const std::filesystem::path& path, const std::string& address,
                                    uint16_t port, const std::string& connectionKey);

}  // namespace veltra
