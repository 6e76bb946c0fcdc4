#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/Bytes.h"

namespace veltra {

// Standard alphabet with "=" padding, no line breaks.
std::string base64Encode(ByteView bytes);

// Strict: standard alphabet only, length a multiple of 4, "=" padding required and only at the
// end. Whitespace anywhere, a missing pad or a stray character gives nothing.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace veltra
