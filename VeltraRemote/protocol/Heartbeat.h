#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/Bytes.h"

namespace veltra {

// The text payloads: the client's ping clock (echoed back verbatim in the pong) and the host's
// failure description.

// Wall-clock seconds since 2001-01-01 00:00:00 UTC, the epoch of the ping clock.
double secondsSinceReferenceDate();

// The shortest plain decimal text that reads back to exactly `seconds`, always with a decimal
// point and never with an exponent ("812345678.25", "5.0"). `seconds` must be finite; throws
// std::invalid_argument otherwise.
Bytes pingPayload(double seconds);

// The number in a ping or pong payload. The whole text must be one finite decimal number
// (optional "-", digits, optional fraction and exponent); whitespace, "+", hex, "inf" and "nan"
// are refused.
std::optional<double> parsePingPayload(ByteView payload);

// Milliseconds, with their fraction (LAN round trips are well below one), from the time in
// `pongPayload` to `now`, never below 0 (a clock stepped back reads 0); nothing if the payload is
// not a number. A nonsense time far in the past gives a huge value, up to infinity.
std::optional<double> roundTripMilliseconds(ByteView pongPayload, double now);

Bytes failurePayload(std::string_view description);
// The failure text as valid UTF-8: each ill-formed sequence becomes U+FFFD.
std::string failureText(ByteView payload);

}  // namespace veltra
