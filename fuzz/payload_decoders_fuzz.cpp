// Feeds session payloads to their decoders. The first byte picks the decoder, the rest is the
// payload. Besides not crashing, each decoder must agree with its own encoder.

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>

#include "fuzz_support.h"
#include "protocol/Heartbeat.h"
#include "protocol/RemoteConfiguration.h"
#include "protocol/RemoteError.h"
#include "protocol/RemoteInput.h"
#include "protocol/UnicodeText.h"
#include "protocol/VideoFormat.h"

namespace {

using namespace veltra;
using fuzz::check;

// What the decoder makes of `payload`, or nothing when it refuses it.
template <class Payload>
std::optional<Payload> decoded(ByteView payload) {
  try {
    return Payload::decodeJson(payload);
  } catch (const JsonError&) {
    return std::nullopt;
  }
}

void configuration(ByteView payload) {
  if (const auto decoded = ::decoded<RemoteConfiguration>(payload)) {
    check(RemoteConfiguration::decodeJson(decoded->encodeJson()) == *decoded);
  }
}

void videoFormat(ByteView payload) {
  if (const auto decoded = ::decoded<VideoFormat>(payload)) {
    const VideoFormat again = VideoFormat::decodeJson(decoded->encodeJson());
    check(std::tie(again.sps, again.pps, again.width, again.height) ==
          std::tie(decoded->sps, decoded->pps, decoded->width, decoded->height));
  }
}

void input(ByteView payload) {
  const auto decoded = ::decoded<RemoteInput>(payload);
  if (!decoded) return;
  // Decoded doubles are always finite, so every decoded input re-encodes, valid or not.
  check(std::isfinite(decoded->x) && std::isfinite(decoded->y) && std::isfinite(decoded->scrollX) &&
        std::isfinite(decoded->scrollY));
  const RemoteInput again = RemoteInput::decodeJson(decoded->encodeJson());
  check(again == *decoded && again.isValid() == decoded->isValid() &&
        std::signbit(again.x) == std::signbit(decoded->x));
}

void ping(ByteView payload) {
  const std::optional<double> seconds = parsePingPayload(payload);
  const std::optional<double> roundTrip = roundTripMilliseconds(payload, 8e8);
  check(seconds.has_value() == roundTrip.has_value());
  if (!seconds) return;
  check(std::isfinite(*seconds) && *roundTrip >= 0);
  const Bytes written = pingPayload(*seconds);
  const std::string_view text = asText(written);
  check(text.find('.') != text.npos && text.find_first_of("eE") == text.npos);
  const std::optional<double> reread = parsePingPayload(written);
  check(reread && std::memcmp(&*reread, &*seconds, sizeof(double)) == 0);
}

void failure(ByteView payload) {
  const std::string text = failureText(payload);
  // The result is always valid UTF-8, and valid input comes back unchanged.
  check(graphemeCount(text).has_value());
  if (graphemeCount(asText(payload))) check(text == asText(payload));
  check(failureText(asBytes(text)) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr void (*kDecoders[])(ByteView) = {configuration, videoFormat, input, ping, failure};
  if (size > 0) kDecoders[data[0] % std::size(kDecoders)](ByteView(data + 1, size - 1));
  return 0;
}
