#pragma once

#include <string>

#include "codec/RemoteFrame.h"

namespace veltra {

// Writes `frame` to `path` as an RGB PNG. False when the picture cannot be converted or the file
// cannot be written.
bool writePngSnapshot(const RemoteFrame& frame, const std::string& path);

}  // namespace veltra
