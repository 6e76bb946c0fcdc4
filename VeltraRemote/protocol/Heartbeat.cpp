#include "protocol/Heartbeat.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <stdexcept>

namespace veltra {
namespace {

// Unix time of 2001-01-01 00:00:00 UTC.
constexpr double kReferenceDateUnixSeconds = 978307200.0;

}  // namespace

double secondsSinceReferenceDate() {
  const std::chrono::duration<double> sinceUnixEpoch =
      std::chrono::system_clock::now().time_since_epoch();
  return sinceUnixEpoch.count() - kReferenceDateUnixSeconds;
}

Bytes pingPayload(double seconds) {
  if (!std::isfinite(seconds)) throw std::invalid_argument("Ping time must be finite.");
  // Fixed notation of a double needs at most 309 integer digits or 324 fraction digits.
  std::array<char, 400> buffer;
  const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), seconds,
                                          std::chars_format::fixed);
  if (error != std::errc()) throw std::invalid_argument("Ping time cannot be written.");
  Bytes text(buffer.data(), end);
  // Shortest fixed form drops the point for integral values; the peer expects a decimal point.
  if (std::string_view(buffer.data(), end).find('.') == std::string_view::npos) {
    text.push_back('.');
    text.push_back('0');
  }
  return text;
}

std::optional<double> parsePingPayload(ByteView payload) {
  const std::string_view text = asText(payload);
  double number = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), number, std::chars_format::general);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(number)) {
    return std::nullopt;
  }
  return number;
}

std::optional<double> roundTripMilliseconds(ByteView pongPayload, double now) {
  const std::optional<double> sent = parsePingPayload(pongPayload);
  if (!sent) return std::nullopt;
  const double milliseconds = (now - *sent) * 1000.0;
  // Negative (clock stepped back) and NaN both read as 0.
  return milliseconds > 0 ? milliseconds : 0.0;
}

Bytes failurePayload(std::string_view description) {
  return Bytes(description.begin(), description.end());
}

std::string failureText(ByteView payload) {
  // ICU counts in int32_t. Failure packets are bounded by the 8 MiB frame limit, far below this.
  const auto length = static_cast<int32_t>(std::min<size_t>(payload.size(), INT32_MAX));
  const icu::UnicodeString text =
      icu::UnicodeString::fromUTF8(icu::StringPiece(asText(payload).data(), length));
  std::string utf8;
  text.toUTF8String(utf8);
  return utf8;
}

}  // namespace veltra
