#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "protocol/RemoteConfiguration.h"
#include "protocol/RemoteError.h"
#include "protocol/RemoteInput.h"
#include "protocol/VideoFormat.h"

namespace veltra {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

std::string text(const Bytes& bytes) {
  return std::string(asText(bytes));
}

// The JsonError text for `json`, or "" if it decodes.
template <typename Payload>
std::string decodeError(std::string_view json) {
  try {
    Payload::decodeJson(asBytes(json));
  } catch (const JsonError& error) {
    return error.what();
  }
  return "";
}

TEST(RemoteConfigurationTest, OnlyTheFourModesAreValid) {
  struct Case {
    RemoteConfiguration configuration;
    bool valid;
  };
  const Case cases[] = {
      {{1920, 1080, 60}, true},   {{1920, 1080, 120}, true}, {{2560, 1440, 60}, true},
      {{2560, 1440, 120}, true},  {{1920, 1080, 30}, false}, {{1080, 1920, 60}, false},
      {{3840, 2160, 60}, false},  {{1920, 1440, 60}, false}, {{2560, 1080, 120}, false},
      {{1920, 1080, 119}, false}, {{0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    const RemoteConfiguration& mode = c.configuration;
    EXPECT_EQ(mode.isValid(), c.valid) << mode.width << "x" << mode.height << "@" << mode.fps;
  }
}

TEST(RemoteConfigurationTest, EncodesCompactlyAndRoundTrips) {
  const RemoteConfiguration mode{2560, 1440, 120};
  const Bytes json = mode.encodeJson();
  EXPECT_EQ(nlohmann::json::parse(json),
            nlohmann::json({{"width", 2560}, {"height", 1440}, {"fps", 120}}));
  EXPECT_EQ(text(json).find_first_of(" \n\t"), std::string::npos) << text(json);
  EXPECT_EQ(RemoteConfiguration::decodeJson(json), mode);
}

TEST(RemoteConfigurationTest, EveryKeyIsRequiredAndUnknownKeysAreIgnored) {
  EXPECT_EQ(RemoteConfiguration::decodeJson(asBytes(R"({"width":1920,"height":1080,"fps":60})")),
            (RemoteConfiguration{1920, 1080, 60}));
  // Key order, whitespace, escapes inside keys and extra keys do not matter.
  EXPECT_EQ(
      RemoteConfiguration::decodeJson(asBytes(
          R"( { "fps" : 120, "extra" : [1, {"a": null}], "h\u0065ight": 1440, "width": 2560 } )")),
      (RemoteConfiguration{2560, 1440, 120}));

  // A missing key reports the JSON reader's own text, naming the key.
  const std::string missing = decodeError<RemoteConfiguration>(R"({"width":1920,"height":1080})");
  EXPECT_NE(missing.find("'fps' not found"), std::string::npos) << missing;
  EXPECT_NE(decodeError<RemoteConfiguration>(R"({"width":1920,"height":1080,"FPS":60})"), "");

  // Only one whole, strict JSON object.
  for (const char* json : {"", "[1920,1080,60]", R"({"width":1920,"height":1080,"fps":60} x)",
                           R"({"width":1920,"height":1080,"fps":60,})",
                           R"({"width":1920,"height":1080,"fps":60 /* c */})"}) {
    EXPECT_NE(decodeError<RemoteConfiguration>(json), "") << json;
  }
}

TEST(RemoteConfigurationTest, IntegersAreCheckedForTypeAndWidth) {
  struct Case {
    const char* fps;
    const char* error;  // nullptr: decodes to 60
  };
  const Case cases[] = {
      {"60", nullptr},
      // Exactly integral floats are accepted from other writers.
      {"60.0", nullptr},
      {"6e1", nullptr},
      {"1.5", "JSON value \"fps\" must be an integer."},
      {"\"60\"", "JSON value \"fps\" must be an integer."},
      {"true", "JSON value \"fps\" must be an integer."},
      {"2147483648", "JSON value \"fps\" is out of range."},
      {"-2147483649", "JSON value \"fps\" is out of range."},
      {"1e400", "[json.exception.out_of_range.406] number overflow parsing '1e400'"},
  };
  for (const Case& c : cases) {
    const std::string json = std::string(R"({"width":1920,"height":1080,"fps":)") + c.fps + "}";
    const std::string error = decodeError<RemoteConfiguration>(json);
    EXPECT_EQ(error, c.error ? c.error : "") << json;
    if (!c.error) {
      EXPECT_EQ(RemoteConfiguration::decodeJson(asBytes(json)).fps, 60);
    }
  }
  EXPECT_EQ(RemoteConfiguration::decodeJson(
                asBytes(R"({"width":2147483647,"height":-2147483648,"fps":-0.0})")),
            (RemoteConfiguration{2147483647, -2147483647 - 1, 0}));
}

RemoteInput validInput() {
  return RemoteInput{RemoteInput::Kind::mouseDown, 0, 0, 0.5, 0.25, 0, 0, 0, 1, 0, 0};
}

TEST(RemoteInputTest, EveryFieldIsHeldToItsRange) {
  struct Case {
    const char* name;
    std::function<void(RemoteInput&)> change;
    bool valid;
  };
  const Case cases[] = {
      {"x 1, y 0",
       [](RemoteInput& i) {
         i.x = 1.0;
         i.y = 0.0;
       },
       true},
      {"x 1.0000001", [](RemoteInput& i) { i.x = 1.0000001; }, false},
      {"x -0.0001", [](RemoteInput& i) { i.x = -0.0001; }, false},
      {"x -0.0", [](RemoteInput& i) { i.x = -0.0; }, true},
      {"x +inf", [](RemoteInput& i) { i.x = kInfinity; }, false},
      {"y NaN", [](RemoteInput& i) { i.y = kNaN; }, false},
      {"y 1", [](RemoteInput& i) { i.y = 1.0; }, true},
      {"y 1 + ulp", [](RemoteInput& i) { i.y = std::nextafter(1.0, 2.0); }, false},
      {"scrollY -10000", [](RemoteInput& i) { i.scrollY = -10000; }, true},
      {"scrollY -10000.5", [](RemoteInput& i) { i.scrollY = -10000.5; }, false},
      {"scrollX 10000", [](RemoteInput& i) { i.scrollX = 10000; }, true},
      {"scrollX 10000.001", [](RemoteInput& i) { i.scrollX = 10000.001; }, false},
      {"scrollX NaN", [](RemoteInput& i) { i.scrollX = kNaN; }, false},
      {"scrollY -inf", [](RemoteInput& i) { i.scrollY = -kInfinity; }, false},
      {"clicks 100", [](RemoteInput& i) { i.clicks = 100; }, true},
      {"clicks 0", [](RemoteInput& i) { i.clicks = 0; }, true},
      {"clicks 101", [](RemoteInput& i) { i.clicks = 101; }, false},
      {"clicks -1", [](RemoteInput& i) { i.clicks = -1; }, false},
      {"key 127", [](RemoteInput& i) { i.key = 127; }, true},
      {"key 128", [](RemoteInput& i) { i.key = 128; }, false},
      {"button 2", [](RemoteInput& i) { i.button = 2; }, true},
      {"button 3", [](RemoteInput& i) { i.button = 3; }, false},
      {"button -1", [](RemoteInput& i) { i.button = -1; }, false},
      {"momentumPhase 3", [](RemoteInput& i) { i.momentumPhase = 3; }, true},
      {"momentumPhase 4", [](RemoteInput& i) { i.momentumPhase = 4; }, false},
      {"momentumPhase -1", [](RemoteInput& i) { i.momentumPhase = -1; }, false},
      {"scrollPhase 255", [](RemoteInput& i) { i.scrollPhase = 255; }, true},
      {"scrollPhase 256", [](RemoteInput& i) { i.scrollPhase = 256; }, false},
      {"scrollPhase -1", [](RemoteInput& i) { i.scrollPhase = -1; }, false},
      // Neither kind nor flags is tested, and unused fields are still held to their ranges.
      {"flags max", [](RemoteInput& i) { i.flags = UINT64_MAX; }, true},
      {"key kind with clicks 101",
       [](RemoteInput& i) {
         i.kind = RemoteInput::Kind::keyDown;
         i.clicks = 101;
       },
       false},
  };
  EXPECT_TRUE(validInput().isValid());
  for (const Case& c : cases) {
    RemoteInput input = validInput();
    c.change(input);
    EXPECT_EQ(input.isValid(), c.valid) << c.name;
  }
}

TEST(RemoteInputTest, KindIsOneOfSevenCaseSensitiveRawValues) {
  const std::pair<RemoteInput::Kind, const char*> kinds[] = {
      {RemoteInput::Kind::keyDown, "keyDown"},     {RemoteInput::Kind::keyUp, "keyUp"},
      {RemoteInput::Kind::flags, "flags"},         {RemoteInput::Kind::move, "move"},
      {RemoteInput::Kind::mouseDown, "mouseDown"}, {RemoteInput::Kind::mouseUp, "mouseUp"},
      {RemoteInput::Kind::scroll, "scroll"},
  };
  for (const auto& [kind, name] : kinds) {
    EXPECT_EQ(rawValue(kind), name);
    EXPECT_EQ(inputKind(name), kind);
    RemoteInput input = validInput();
    input.kind = kind;
    EXPECT_EQ(RemoteInput::decodeJson(input.encodeJson()).kind, kind) << name;
  }

  for (const char* name :
       {"KeyDown", "keydown", "MOVE", "keyDown ", " keyDown", "", "key", "click"}) {
    EXPECT_FALSE(inputKind(name)) << name;
    nlohmann::json json = nlohmann::json::parse(validInput().encodeJson());
    json["kind"] = name;
    EXPECT_EQ(decodeError<RemoteInput>(json.dump()),
              "JSON value \"kind\" is not a known input kind.")
        << name;
  }
}

TEST(RemoteInputTest, DecodesTheDocumentedExampleBody) {
  const RemoteInput input = RemoteInput::decodeJson(asBytes(
      R"({"kind": "mouseDown", "key": 0, "flags": 0, "x": 0.5, "y": 0.25, "button": 0,
          "scrollX": 0, "scrollY": 0, "clicks": 1, "scrollPhase": 0, "momentumPhase": 0})"));
  EXPECT_EQ(input, validInput());
}

// The example input body, written by hand so that one field can carry an exact literal (or be
// left out, with std::nullopt).
std::string inputJsonWith(std::string_view key, std::optional<std::string_view> literal) {
  const std::pair<std::string_view, std::string_view> fields[] = {
      {"kind", "\"mouseDown\""},
      {"key", "0"},
      {"flags", "0"},
      {"x", "0.5"},
      {"y", "0.25"},
      {"button", "0"},
      {"scrollX", "0"},
      {"scrollY", "0"},
      {"clicks", "1"},
      {"scrollPhase", "0"},
      {"momentumPhase", "0"},
  };
  std::string json = "{";
  for (const auto& [name, value] : fields) {
    if (name == key && !literal) continue;
    if (json.size() > 1) json += ',';
    json += "\"" + std::string(name) + "\":" + std::string(name == key ? *literal : value);
  }
  return json + "}";
}

TEST(RemoteInputTest, FieldsAreCheckedForJsonTypeAndWidth) {
  struct Case {
    const char* key;
    const char* value;
    bool decodes;
  };
  const Case cases[] = {
      {"key", "65535", true},  // decodes; isValid() refuses it later
      {"key", "65536", false},
      {"key", "70000", false},
      {"key", "-1", false},
      {"flags", "18446744073709551615", true},
      {"flags", "18446744073709551616", false},
      {"flags", "-1", false},
      {"flags", "1.8446744073709552e19", false},
      // Integral floats are taken only while every integer is exact in a double (2^53).
      {"flags", "9007199254740992.0", true},
      {"flags", "9007199254740994.0", false},
      {"x", "1", true},
      {"x", "\"0.5\"", false},
      {"x", "1e400", false},  // the parser refuses the overflow itself
      {"scrollY", "-1e309", false},
      {"button", "2.5", false},
      {"clicks", "2147483648", false},
      {"clicks", "1.0", true},
      {"scrollPhase", "9223372036854775807", true},
      {"scrollPhase", "9223372036854775808", false},
      {"scrollPhase", "-9223372036854775808", true},
      // Parsed as a float that rounds to -2^63: must not be taken for INT64_MIN.
      {"scrollPhase", "-9223372036854775809", false},
      {"scrollPhase", "9.223372036854775808e18", false},
      {"kind", "3", false},
      {"kind", "\"\\u006beyDown\"", true},
  };
  EXPECT_EQ(RemoteInput::decodeJson(asBytes(inputJsonWith("", std::nullopt))), validInput());
  for (const Case& c : cases) {
    const std::string json = inputJsonWith(c.key, c.value);
    const std::string error = decodeError<RemoteInput>(json);
    EXPECT_EQ(error.empty(), c.decodes) << json << ": " << error;
    if (!c.decodes && error.find("overflow parsing") == std::string::npos) {
      EXPECT_NE(error.find(c.key), std::string::npos) << error;
    }
  }
  for (const char* key : {"kind", "key", "flags", "x", "y", "button", "scrollX", "scrollY",
                          "clicks", "scrollPhase", "momentumPhase"}) {
    const std::string error = decodeError<RemoteInput>(inputJsonWith(key, std::nullopt));
    EXPECT_NE(error.find(std::string("'") + key + "' not found"), std::string::npos) << error;
  }
}

TEST(RemoteInputTest, RoundTripsExactlyIncludingAwkwardDoubles) {
  const RemoteInput inputs[] = {
      validInput(),
      {RemoteInput::Kind::scroll, 127, UINT64_MAX, 0.1, 1.0 / 3.0, 2, -0.0, 9999.999999999998, 100,
       255, 3},
      {RemoteInput::Kind::move, 0, 0x100000, 5e-324, 0.9999999999999999, 1, -10000, 1e-7, 0, 0, 0},
      // Out of range values still travel: the receiver decides.
      {RemoteInput::Kind::keyUp, 65535, 1, 2.5, -3, -7, 1e300, -1e-300, -1, INT64_MIN, INT64_MAX},
  };
  for (const RemoteInput& input : inputs) {
    const Bytes json = input.encodeJson();
    EXPECT_EQ(text(json).find_first_of(" \n"), std::string::npos) << text(json);
    const RemoteInput decoded = RemoteInput::decodeJson(json);
    EXPECT_EQ(decoded, input) << text(json);
    EXPECT_EQ(std::signbit(decoded.scrollX), std::signbit(input.scrollX)) << text(json);
  }
}

TEST(RemoteInputTest, NonFiniteDoublesCannotBeEncoded) {
  for (double RemoteInput::*field :
       {&RemoteInput::x, &RemoteInput::y, &RemoteInput::scrollX, &RemoteInput::scrollY}) {
    for (const double value : {kNaN, kInfinity, -kInfinity}) {
      RemoteInput input = validInput();
      input.*field = value;
      EXPECT_THROW(input.encodeJson(), JsonError) << value;
    }
  }
}

TEST(VideoFormatTest, RoundTripsWithPaddedStandardBase64) {
  // 0xFB 0xFF ... encodes with both "+" and "/", the two non-alphanumeric Base64 characters.
  const VideoFormat format{
      .sps = {0x67, 0x42, 0xC0, 0x1E}, .pps = {0xFB, 0xEF, 0xFF}, .width = 2560, .height = 1440};
  const Bytes json = format.encodeJson();
  const nlohmann::json object = nlohmann::json::parse(json);
  EXPECT_EQ(object.at("sps"), "Z0LAHg==");  // 4 bytes → 8 characters with padding
  EXPECT_EQ(object.at("pps"), "++//");
  EXPECT_EQ(object.at("width"), 2560);
  EXPECT_EQ(object.at("height"), 1440);

  const VideoFormat decoded = VideoFormat::decodeJson(json);
  EXPECT_EQ(decoded.sps, format.sps);
  EXPECT_EQ(decoded.pps, format.pps);
  EXPECT_EQ(decoded.width, 2560);
  EXPECT_EQ(decoded.height, 1440);

  // Other writers escape "/" inside strings.
  const VideoFormat escaped = VideoFormat::decodeJson(
      asBytes(R"({"sps":"Z0LAHg==","pps":"++\/\/","width":1920,"height":1080})"));
  EXPECT_EQ(escaped.pps, format.pps);

  const VideoFormat empty = VideoFormat::decodeJson(VideoFormat{}.encodeJson());
  EXPECT_TRUE(empty.sps.empty() && empty.pps.empty());
}

TEST(VideoFormatTest, ParameterSetsMustBeStrictBase64Strings) {
  for (const char* sps : {R"("Z0LAHg")", R"("Z0LAHg=")", R"("Z0LA Hg==")", R"("Z0LAHg==\n")",
                          R"("Z0-_Hg==")", R"("Z0LAHg==Z0LAHg==")", "null", "[103,66]"}) {
    const std::string json =
        std::string(R"({"sps":)") + sps + R"(,"pps":"aM48gA==","width":1920,"height":1080})";
    const std::string error = decodeError<VideoFormat>(json);
    EXPECT_NE(error.find("\"sps\""), std::string::npos) << json << ": " << error;
  }
  EXPECT_NE(decodeError<VideoFormat>(R"({"sps":"Z0LAHg==","pps":"aM48gA==","width":1920})"), "");
}

}  // namespace
}  // namespace veltra
