#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteConnectionProfile.h"
#include "protocol/RemoteError.h"
#include "protocol/protocol_test_support.h"

namespace veltra {
namespace {

// Base64 of the bytes 0...31, and of 32 bytes 0xFF (which is mostly "/").
constexpr const char* kKey = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
constexpr const char* kSlashKey = "//////////////////////////////////////////8=";

constexpr const char* kInvalidProfile =
    "Invalid connection profile: check version, address, port and display settings.";
constexpr const char* kKeyMessage = "Use the 32-byte connection key shown by Veltra Host.";

RemoteConnectionProfile validProfile() {
  return {"192.168.1.20", 9876, kKey};
}

std::string repeated(std::string_view unit, size_t count) {
  std::string result;
  for (size_t i = 0; i < count; ++i) result += unit;
  return result;
}

TEST(RemoteConnectionProfileTest, EncodesTheExactSortedLayoutWithStandardEscapesAndDecodesBack) {
  const RemoteConnectionProfile built("mac-studio.local", 9876, RemoteAuthentication::newKey());
  EXPECT_EQ(built.configuration, (RemoteConfiguration{1920, 1080, 60}));

  // The address may carry anything that is neither white space nor "/"; "/" is escaped.
  RemoteConnectionProfile profile("q\"\\\x1F\b-bücher.local", 9876, kSlashKey);
  profile.configuration = {2560, 1440, 120};
  const Bytes encoded = profile.encoded();
  EXPECT_EQ(asText(encoded), R"({
  "address" : "q\"\\\u001f\b-bücher.local",
  "configuration" : {
    "fps" : 120,
    "height" : 1440,
    "width" : 2560
  },
  "connectionKey" : "\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/8=",
  "port" : 9876,
  "version" : 1
})");
  EXPECT_EQ(RemoteConnectionProfile::decode(encoded), profile);
}

// Validation, encoding and decoding all apply the same rules, in order: the first failing rule
// decides the message.
TEST(RemoteConnectionProfileTest, RulesApplyWhereverAProfileIsMadeOrRead) {
  const struct {
    const char* name;
    std::function<void(RemoteConnectionProfile&)> change;
    const char* error;  // "" if the profile passes
  } cases[] = {
      {"as built", [](auto&) {}, ""},
      {"version 2", [](auto& p) { p.version = 2; }, kInvalidProfile},
      {"empty address", [](auto& p) { p.address = ""; }, kInvalidProfile},
      {"ideographic space", [](auto& p) { p.address = "ho\u3000st"; }, kInvalidProfile},
      {"web address", [](auto& p) { p.address = "http://host"; }, kInvalidProfile},
      {"ill-formed UTF-8", [](auto& p) { p.address = "host\xFF"; }, kInvalidProfile},
      {"IPv6 literal", [](auto& p) { p.address = "fe80::1%en0"; }, ""},
      // Length counts user-perceived characters, not bytes.
      {"253 accented", [](auto& p) { p.address = repeated("e\u0301", 253); }, ""},
      {"254 letters", [](auto& p) { p.address = repeated("a", 254); }, kInvalidProfile},
      {"254 accented", [](auto& p) { p.address = repeated("\u00E9", 254); }, kInvalidProfile},
      {"port 1023", [](auto& p) { p.port = 1023; }, kInvalidProfile},
      {"port 1024", [](auto& p) { p.port = 1024; }, ""},
      {"30 fps", [](auto& p) { p.configuration.fps = 30; }, kInvalidProfile},
      {"43-char key", [](auto& p) { p.connectionKey.pop_back(); }, kKeyMessage},
      {"URL-safe key", [](auto& p) { p.connectionKey = std::string(42, '_') + "8="; }, kKeyMessage},
      {"key in white space", [](auto& p) { p.connectionKey = "\u3000 " + p.connectionKey; }, ""},
      {"version 2, short key", [](auto& p) { p.version = 2, p.connectionKey.pop_back(); },
       kInvalidProfile},
      {"port 1023, no key", [](auto& p) { p.port = 1023, p.connectionKey = ""; }, kInvalidProfile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RemoteConnectionProfile profile = validProfile();
    c.change(profile);
    std::string error, encodeError;
    try {
      EXPECT_EQ(profile.validated(), profile);
    } catch (const RemoteError& e) {
      EXPECT_EQ(e.kind(), RemoteError::Kind::unavailable);
      error = e.what();
    }
    EXPECT_EQ(error, c.error);
    try {
      EXPECT_EQ(RemoteConnectionProfile::decode(profile.encoded()), profile);
    } catch (const RemoteError& e) {
      encodeError = e.what();
    }
    EXPECT_EQ(encodeError, error);
  }
}

nlohmann::json validJson() {
  return {{"version", 1},
          {"address", "192.168.1.20"},
          {"port", 9876},
          {"connectionKey", kKey},
          {"configuration", {{"width", 1920}, {"height", 1080}, {"fps", 60}}}};
}

// What decode() throws: "json: …" for a JsonError, "remote: …" for a RemoteError, "" if none.
std::string decodeError(std::string_view file) {
  try {
    RemoteConnectionProfile::decode(asBytes(file));
  } catch (const JsonError& error) {
    return std::string("json: ") + error.what();
  } catch (const RemoteError& error) {
    return std::string("remote: ") + error.what();
  }
  return "";
}

// The JSON reader's own rules are the payload tests'; here, every field must go through it.
TEST(RemoteConnectionProfileTest, DecodeReadsFieldsStrictly) {
  std::vector<nlohmann::json> files;
  for (const char* key : {"version", "address", "port", "connectionKey", "configuration"}) {
    files.push_back(validJson());
    files.back().erase(key);
  }
  for (const char* key : {"width", "height", "fps"}) {
    files.push_back(validJson());
    files.back()["configuration"].erase(key);
  }
  const std::pair<const char*, nlohmann::json> wrongValues[] = {
      {"port", 70000},
      {"port", "9876"},
      {"port", 9876.5},
      {"version", 4294967297},
      {"address", nullptr},
      {"connectionKey", {1, 2}},
      {"configuration", {1920, 1080, 60}},
  };
  for (const auto& [key, value] : wrongValues) {
    files.push_back(validJson());
    files.back()[key] = value;
  }
  for (const auto& file : files) {
    EXPECT_EQ(decodeError(file.dump()).rfind("json: ", 0), 0u) << file.dump();
  }

  // A well-formed file must still hold a valid profile.
  nlohmann::json json = validJson();
  json["connectionKey"] = "short";
  EXPECT_EQ(decodeError(json.dump()), std::string("remote: ") + kKeyMessage);
  json["address"] = "https://host.example";
  EXPECT_EQ(decodeError(json.dump()), std::string("remote: ") + kInvalidProfile);
}

TEST(RemoteConnectionProfileTest, FilesOverSixteenKilobytesAreRefusedBeforeParsing) {
  std::string file(asText(validProfile().encoded()));
  file.insert(file.size() - 1, RemoteConnectionProfile::kMaximumFileSize - file.size(), ' ');
  ASSERT_EQ(file.size(), 16384u);
  EXPECT_EQ(RemoteConnectionProfile::decode(asBytes(file)), validProfile());
  file.insert(1, 1, '\n');
  EXPECT_EQ(decodeError(file), "remote: Connection JSON is too large.");
  EXPECT_EQ(decodeError(std::string(16385, '{')), "remote: Connection JSON is too large.");
}

}  // namespace
}  // namespace veltra
