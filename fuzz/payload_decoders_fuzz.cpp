// Feeds session payloads to their decoders. The first byte picks the decoder, the rest is the
// payload. Besides not crashing, each decoder must agree with its own encoder.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "protocol/Heartbeat.h"
#include "protocol/RemoteConfiguration.h"
#include "protocol/RemoteError.h"
#include "protocol/RemoteInput.h"
#include "protocol/UnicodeText.h"
#include "protocol/VideoFormat.h"

namespace {

using namespace veltra;

void check(bool condition) {
  if (!condition) std::abort();
}

void configuration(ByteView payload) {
  RemoteConfiguration decoded;
  try {
    decoded = RemoteConfiguration::decodeJson(payload);
  } catch (const JsonError&) {
    return;
  }
  check(RemoteConfiguration::decodeJson(decoded.encodeJson()) == decoded);
}

void videoFormat(ByteView payload) {
  VideoFormat decoded;
  try {
    decoded = VideoFormat::decodeJson(payload);
  } catch (const JsonError&) {
    return;
  }
  const VideoFormat again = VideoFormat::decodeJson(decoded.encodeJson());
  check(again.sps == decoded.sps && again.pps == decoded.pps && again.width == decoded.width &&
        again.height == decoded.height);
}

void input(ByteView payload) {
  RemoteInput decoded;
  try {
    decoded = RemoteInput::decodeJson(payload);
  } catch (const JsonError&) {
    return;
  }
  // Decoded doubles are always finite, so every decoded input re-encodes, valid or not.
  check(std::isfinite(decoded.x) && std::isfinite(decoded.y) && std::isfinite(decoded.scrollX) &&
        std::isfinite(decoded.scrollY));
  const RemoteInput again = RemoteInput::decodeJson(decoded.encodeJson());
  check(again == decoded);
  check(again.isValid() == decoded.isValid());
  check(std::signbit(again.x) == std::signbit(decoded.x));
}

void ping(ByteView payload) {
  const std::optional<double> seconds = parsePingPayload(payload);
  const std::optional<double> roundTrip = roundTripMilliseconds(payload, 8e8);
  check(seconds.has_value() == roundTrip.has_value());
  if (!seconds) return;
  check(std::isfinite(*seconds) && *roundTrip >= 0);
  const Bytes written = pingPayload(*seconds);
  const std::string_view text = asText(written);
  check(text.find('.') != std::string_view::npos && text.find_first_of("eE") == text.npos);
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
  if (size == 0) return 0;
  const ByteView payload(data + 1, size - 1);
  switch (data[0] % 5) {
    case 0:
      configuration(payload);
      break;
    case 1:
      videoFormat(payload);
      break;
    case 2:
      input(payload);
      break;
    case 3:
      ping(payload);
      break;
    case 4:
      failure(payload);
      break;
  }
  return 0;
}
