#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "protocol/RemoteConfiguration.h"
#include "protocol/RemoteError.h"
#include "protocol/RemoteInput.h"
#include "protocol/VideoFormat.h"
#include "protocol/protocol_test_support.h"

namespace veltra {
namespace {

using test::kInfinity;
using test::kNaN;

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

TEST(RemoteConfigurationTest, OnlyTheFourModesAreValidAndDecodingIsStrictAbout32BitIntegers) {
  const RemoteConfiguration valid[] = {
      {1920, 1080, 60}, {1920, 1080, 120}, {2560, 1440, 60}, {2560, 1440, 120}};
  const RemoteConfiguration invalid[] = {
      {1920, 1080, 30}, {1080, 1920, 60}, {1920, 1440, 60}, {2560, 1080, 120}, {0, 0, 0}};
  for (const RemoteConfiguration& mode : valid) {
    EXPECT_TRUE(mode.isValid());
    EXPECT_EQ(RemoteConfiguration::decodeJson(mode.encodeJson()), mode);
  }
  for (const RemoteConfiguration& mode : invalid) {
    EXPECT_FALSE(mode.isValid()) << mode.width << "x" << mode.height << "@" << mode.fps;
  }

  // Key order, white space, escapes inside keys, extra keys and integral floats do not matter.
  EXPECT_EQ(
      RemoteConfiguration::decodeJson(asBytes(
          R"( { "fps" : 6e1, "extra" : [1, {"a": null}], "h\u0065ight": 1440, "width": 2560 } )")),
      (RemoteConfiguration{2560, 1440, 60}));
  EXPECT_EQ(RemoteConfiguration::decodeJson(
                asBytes(R"({"width":2147483647,"height":-2147483648,"fps":-0.0})")),
            (RemoteConfiguration{2147483647, -2147483647 - 1, 0}));
  EXPECT_NE(decodeError<RemoteConfiguration>(R"({"width":1920,"height":1080})").find("'fps'"),
            std::string::npos);
  for (const char* fps : {"1.5", "\"60\"", "true", "2147483648", "-2147483649", "1e400",
                          "60 /* c */", "60,", "60} x"}) {
    const std::string json = std::string(R"({"width":1920,"height":1080,"fps":)") + fps + "}";
    EXPECT_NE(decodeError<RemoteConfiguration>(json), "") << json;
  }
  EXPECT_NE(decodeError<RemoteConfiguration>("[1920,1080,60]"), "");
}

RemoteInput validInput() {
  return RemoteInput{RemoteInput::Kind::mouseDown, 0, 0, 0.5, 0.25, 0, 0, 0, 1, 0, 0};
}

// The valid input's JSON with `key` set to the exact text `literal`, or left out.
std::string inputJsonWith(const std::string& key, std::optional<std::string_view> literal) {
  nlohmann::json object = nlohmann::json::parse(validInput().encodeJson());
  object.erase(key);
  std::string json = object.dump();
  if (literal) json.insert(1, "\"" + key + "\":" + std::string(*literal) + ",");
  return json;
}

TEST(RemoteInputTest, FieldsAreRequiredAndCheckedForJsonTypeAndWidthWhenDecodedThenForRange) {
  // Per field: literals that decode to a valid input, that decode but are out of range, and
  // that the decoder refuses, naming the field; left out, the field is named too.
  const struct {
    const char* key;
    std::vector<const char*> valid, invalid, refused;
  } fields[] = {
      {"x", {"1", "-0.0"}, {"1.0000001", "-0.0001"}, {"\"0.5\"", "1e400"}},
      {"y", {"0"}, {"1.0000000000000002"}, {}},
      {"scrollX", {"10000"}, {"10000.001"}, {}},
      {"scrollY", {"-10000"}, {"-10000.5"}, {"-1e309"}},
      {"clicks", {"100", "0", "1.0"}, {"101", "-1"}, {"2147483648"}},
      {"key", {"127"}, {"128", "65535"}, {"65536", "-1"}},
      {"button", {"2"}, {"3", "-1"}, {"2.5"}},
      {"momentumPhase", {"3"}, {"4", "-1"}, {}},
      // A float that rounds to -2^63 must not be taken for INT64_MIN.
      {"scrollPhase",
       {"255"},
       {"256", "-1", "9223372036854775807", "-9223372036854775808"},
       {"9223372036854775808", "-9223372036854775809", "9.223372036854775808e18"}},
      // Integral floats are taken only while every integer is exact in a double (2^53).
      {"flags",
       {"18446744073709551615", "9007199254740992.0"},
       {},
       {"18446744073709551616", "-1", "9007199254740994.0"}},
      {"kind", {"\"\\u006beyDown\""}, {}, {"\"keyDown \"", "\"keydown\"", "\"click\"", "3"}},
  };
  for (const auto& field : fields) {
    for (const auto* literals : {&field.valid, &field.invalid}) {
      for (const char* literal : *literals) {
        const std::string json = inputJsonWith(field.key, literal);
        EXPECT_EQ(RemoteInput::decodeJson(asBytes(json)).isValid(), literals == &field.valid)
            << json;
      }
    }
    for (const char* literal : field.refused) {
      const std::string error = decodeError<RemoteInput>(inputJsonWith(field.key, literal));
      // The JSON reader's own overflow message cannot name the field.
      EXPECT_TRUE(error.find(field.key) != error.npos || error.find("overflow") != error.npos)
          << field.key << " " << literal << ": " << error;
    }
    const std::string missing = decodeError<RemoteInput>(inputJsonWith(field.key, std::nullopt));
    EXPECT_NE(missing.find(std::string("'") + field.key + "' not found"), missing.npos) << missing;
  }
  // No non-finite double is valid or encoded.
  for (double RemoteInput::*field :
       {&RemoteInput::x, &RemoteInput::y, &RemoteInput::scrollX, &RemoteInput::scrollY}) {
    for (const double value : {kNaN, kInfinity, -kInfinity}) {
      RemoteInput input = validInput();
      input.*field = value;
      EXPECT_FALSE(input.isValid()) << value;
      EXPECT_THROW(input.encodeJson(), JsonError) << value;
    }
  }
}

TEST(RemoteInputTest, RoundTripsExactlyIncludingAwkwardDoublesAndEveryKind) {
  std::vector<RemoteInput> inputs = {
      {RemoteInput::Kind::scroll, 127, UINT64_MAX, 0.1, 1.0 / 3.0, 2, -0.0, 9999.999999999998, 100,
       255, 3},
      {RemoteInput::Kind::move, 0, 0x100000, 5e-324, 0.9999999999999999, 1, -10000, 1e-7, 0, 0, 0},
      // Out of range values still travel: the receiver decides.
      {RemoteInput::Kind::keyUp, 65535, 1, 2.5, -3, -7, 1e300, -1e-300, -1, INT64_MIN, INT64_MAX},
  };
  for (auto kind : {RemoteInput::Kind::keyDown, RemoteInput::Kind::keyUp, RemoteInput::Kind::flags,
                    RemoteInput::Kind::move, RemoteInput::Kind::mouseDown,
                    RemoteInput::Kind::mouseUp, RemoteInput::Kind::scroll}) {
    inputs.push_back(validInput());
    inputs.back().kind = kind;
  }
  for (const RemoteInput& input : inputs) {
    const Bytes json = input.encodeJson();
    EXPECT_EQ(asText(json).find_first_of(" \n"), std::string::npos) << asText(json);
    const RemoteInput decoded = RemoteInput::decodeJson(json);
    EXPECT_EQ(decoded, input) << asText(json);
    EXPECT_EQ(std::signbit(decoded.scrollX), std::signbit(input.scrollX)) << asText(json);
  }
}

TEST(VideoFormatTest, ParameterSetsTravelAsStrictPaddedStandardBase64) {
  // 0xFB 0xEF 0xFF encodes with both "+" and "/", the two non-alphanumeric Base64 characters.
  const VideoFormat format{
      .sps = {0x67, 0x42, 0xC0, 0x1E}, .pps = {0xFB, 0xEF, 0xFF}, .width = 2560, .height = 1440};
  const nlohmann::json object = nlohmann::json::parse(format.encodeJson());
  EXPECT_EQ(object,
            nlohmann::json::parse(R"({"sps":"Z0LAHg==","pps":"++//","width":2560,"height":1440})"));
  // Other writers escape "/" inside strings.
  const VideoFormat decoded = VideoFormat::decodeJson(
      asBytes(R"({"sps":"Z0LAHg==","pps":"++\/\/","width":2560,"height":1440})"));
  EXPECT_EQ(std::tie(decoded.sps, decoded.pps, decoded.width, decoded.height),
            std::tie(format.sps, format.pps, format.width, format.height));
  // Every byte value, at each padding.
  for (const size_t length : {254, 255, 256}) {
    const VideoFormat all{.sps = {}, .pps = test::counting(1, length), .width = 1, .height = 1};
    EXPECT_EQ(VideoFormat::decodeJson(all.encodeJson()).pps, all.pps) << length;
  }

  for (const char* sps :
       {R"("Z0LAHg")", R"("Z0LAHg=")", R"("Z0LA Hg==")", R"("Z0LAHg==\n")", R"("Z0-_Hg==")",
        R"("Z0LAHg==Z0LAHg==")", R"("Z0LAHg=A")", R"("Z0LA====")", R"("Z0LA\u0000g==")",
        R"("Z0L\u00e9g==")", "null", "[103,66]"}) {
    const std::string json =
        std::string(R"({"sps":)") + sps + R"(,"pps":"aM48gA==","width":1920,"height":1080})";
    EXPECT_NE(decodeError<VideoFormat>(json).find("\"sps\""), std::string::npos) << json;
  }
}

}  // namespace
}  // namespace veltra
