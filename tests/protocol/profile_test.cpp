#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "protocol/RemoteAuthentication.h"
#include "protocol/RemoteConnectionProfile.h"
#include "protocol/RemoteError.h"

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

std::string text(const Bytes& bytes) {
  return std::string(asText(bytes));
}

// The RemoteError text that validated() throws, or "" if the profile passes.
std::string validationError(const RemoteConnectionProfile& profile) {
  try {
    EXPECT_EQ(profile.validated(), profile);
  } catch (const RemoteError& error) {
    EXPECT_EQ(error.kind(), RemoteError::Kind::unavailable);
    return error.what();
  }
  return "";
}

std::string repeated(std::string_view unit, size_t count) {
  std::string result;
  for (size_t i = 0; i < count; ++i) result += unit;
  return result;
}

TEST(RemoteConnectionProfileTest, HostBuiltProfileValidatesEncodesAndDecodesBack) {
  const RemoteConnectionProfile profile("mac-studio.local", 9876, RemoteAuthentication::newKey());
  EXPECT_EQ(profile.version, 1);
  EXPECT_EQ(profile.configuration, (RemoteConfiguration{1920, 1080, 60}));
  EXPECT_EQ(validationError(profile), "");
  EXPECT_EQ(RemoteConnectionProfile::decode(profile.encoded()), profile);
}

TEST(RemoteConnectionProfileTest, EncodedFileHasTheExactSortedLayout) {
  RemoteConnectionProfile profile = validProfile();
  profile.configuration = {2560, 1440, 120};
  const std::string expected =
      "{\n"
      "  \"address\" : \"192.168.1.20\",\n"
      "  \"configuration\" : {\n"
      "    \"fps\" : 120,\n"
      "    \"height\" : 1440,\n"
      "    \"width\" : 2560\n"
      "  },\n"
      "  \"connectionKey\" : \"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\",\n"
      "  \"port\" : 9876,\n"
      "  \"version\" : 1\n"
      "}";
  EXPECT_EQ(text(profile.encoded()), expected);
  EXPECT_EQ(profile.encoded(), profile.encoded());
}

TEST(RemoteConnectionProfileTest, StringsUseStandardEscapesWithEscapedSlash) {
  // The key may carry surrounding white space (trimmed only for checking); the address may carry
  // anything that is neither white space nor "/".
  RemoteConnectionProfile profile("h\"q\\b\x01\x1F\x7F\b-bücher.local", 1024,
                                  std::string("\t ") + kSlashKey + "\r\f\n");
  const std::string encoded = text(profile.encoded());
  EXPECT_NE(encoded.find(R"("address" : "h\"q\\b\u0001\u001f)"
                         "\x7F"
                         R"(\b-bücher.local",)"),
            std::string::npos)
      << encoded;
  EXPECT_NE(encoded.find(R"("connectionKey" : "\t \/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/)"
                         R"(\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/\/8=\r\f\n",)"),
            std::string::npos)
      << encoded;
  EXPECT_EQ(nlohmann::json::parse(encoded).at("connectionKey"), profile.connectionKey);
  EXPECT_EQ(RemoteConnectionProfile::decode(asBytes(encoded)), profile);
}

TEST(RemoteConnectionProfileTest, KeyWithTrailingNewlineIsKeptVerbatim) {
  const RemoteConnectionProfile profile("192.168.1.20", 9876, std::string(kKey) + "\n");
  EXPECT_EQ(profile.validated().connectionKey, std::string(kKey) + "\n");
  const std::string encoded = text(profile.encoded());
  EXPECT_NE(encoded.find(std::string("\"") + kKey + "\\n\""), std::string::npos) << encoded;
  EXPECT_EQ(RemoteConnectionProfile::decode(asBytes(encoded)).connectionKey,
            std::string(kKey) + "\n");
}

TEST(RemoteConnectionProfileTest, RulesAreCheckedInOrderWithTheirMessages) {
  struct Case {
    const char* name;
    std::function<void(RemoteConnectionProfile&)> change;
    const char* error;  // "" if the profile passes
  };
  const Case cases[] = {
      {"as built", [](auto&) {}, ""},
      {"version 2", [](auto& p) { p.version = 2; }, kInvalidProfile},
      {"empty address", [](auto& p) { p.address = ""; }, kInvalidProfile},
      {"trailing space", [](auto& p) { p.address = "192.168.1.20 "; }, kInvalidProfile},
      {"tab inside", [](auto& p) { p.address = "mac\tmini.local"; }, kInvalidProfile},
      {"web address", [](auto& p) { p.address = "http://192.168.1.20"; }, kInvalidProfile},
      {"slash at end", [](auto& p) { p.address = "host/"; }, kInvalidProfile},
      {"ill-formed UTF-8", [](auto& p) { p.address = "host\xFF"; }, kInvalidProfile},
      {"IPv6 literal", [](auto& p) { p.address = "fe80::1%en0"; }, ""},
      {"port 0", [](auto& p) { p.port = 0; }, kInvalidProfile},
      {"port 1023", [](auto& p) { p.port = 1023; }, kInvalidProfile},
      {"port 1024", [](auto& p) { p.port = 1024; }, ""},
      {"port 65535", [](auto& p) { p.port = 65535; }, ""},
      {"30 fps",
       [](auto& p) {
         p.configuration = {1920, 1080, 30};
       },
       kInvalidProfile},
      {"43-char key", [](auto& p) { p.connectionKey.pop_back(); }, kKeyMessage},
      {"URL-safe key", [](auto& p) { p.connectionKey = std::string(42, '_') + "8="; }, kKeyMessage},
      {"key with white space around",
       [](auto& p) { p.connectionKey = "\u3000 " + p.connectionKey; }, ""},
      // The first failing rule decides the message.
      {"version 2 and short key",
       [](auto& p) {
         p.version = 2;
         p.connectionKey.pop_back();
       },
       kInvalidProfile},
      {"port 1023 and no key",
       [](auto& p) {
         p.port = 1023;
         p.connectionKey = "";
       },
       kInvalidProfile},
      {"bad mode and bad key",
       [](auto& p) {
         p.configuration = {3840, 2160, 60};
         p.connectionKey = "x";
       },
       kInvalidProfile},
  };
  for (const Case& c : cases) {
    RemoteConnectionProfile profile = validProfile();
    c.change(profile);
    EXPECT_EQ(validationError(profile), c.error) << c.name;
  }
}

TEST(RemoteConnectionProfileTest, AddressLengthCountsUserPerceivedCharacters) {
  // e + U+0301 is 3 bytes, a flag 8 bytes: bytes must not be what is counted.
  for (std::string_view character : {"a", "e\u0301", "\U0001F1E9\U0001F1EA", "\u00E9"}) {
    RemoteConnectionProfile profile = validProfile();
    profile.address = repeated(character, 253);
    EXPECT_EQ(validationError(profile), "") << character;
    profile.address += character;
    EXPECT_EQ(validationError(profile), kInvalidProfile) << character;
  }
}

TEST(RemoteConnectionProfileTest, NoKindOfWhiteSpaceIsAllowedInTheAddress) {
  for (const char* space : {" ", "\t", "\n", "\v", "\f", "\r", "\u0085", "\u00A0", "\u1680",
                            "\u2003", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"}) {
    for (const std::string& address :
         {std::string(space) + "host", "ho" + std::string(space) + "st",
          "host" + std::string(space)}) {
      RemoteConnectionProfile profile = validProfile();
      profile.address = address;
      EXPECT_EQ(validationError(profile), kInvalidProfile) << testing::PrintToString(address);
    }
  }
}

TEST(RemoteConnectionProfileTest, EncodingRefusesAnInvalidProfile) {
  RemoteConnectionProfile profile = validProfile();
  profile.port = 80;
  EXPECT_THROW(profile.encoded(), RemoteError);
  profile = validProfile();
  profile.connectionKey = "short";
  try {
    profile.encoded();
    ADD_FAILURE() << "encoded an invalid key";
  } catch (const RemoteError& error) {
    EXPECT_STREQ(error.what(), kKeyMessage);
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

TEST(RemoteConnectionProfileTest, DecodeReadsFieldsStrictly) {
  EXPECT_EQ(RemoteConnectionProfile::decode(asBytes(validJson().dump())), validProfile());

  // Unknown keys, key order, escapes and layout do not matter.
  EXPECT_EQ(decodeError(R"({"port":9876,"extra":{"nested":[true]},"configuration":{"fps":60,)"
                        R"("width":1920,"height":1080,"depth":24},"version":1,)"
                        R"("connectionKey":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8\u003d",)"
                        R"("address":"192.168.1.20"})"),
            "");
  EXPECT_EQ(decodeError(R"({"version":1.0,"address":"a","port":1.024e3,"connectionKey":")" +
                        std::string(kKey) +
                        R"(","configuration":{"width":1920,"height":1080,"fps":60}})"),
            "");

  for (const char* key : {"version", "address", "port", "connectionKey", "configuration"}) {
    nlohmann::json json = validJson();
    json.erase(key);
    EXPECT_EQ(decodeError(json.dump()).rfind("json: ", 0), 0u) << key;
  }
  for (const char* key : {"width", "height", "fps"}) {
    nlohmann::json json = validJson();
    json["configuration"].erase(key);
    EXPECT_EQ(decodeError(json.dump()).rfind("json: ", 0), 0u) << key;
  }

  struct Case {
    const char* key;
    nlohmann::json value;
  };
  const Case wrongValues[] = {
      {"port", 70000},
      {"port", 65536},
      {"port", -1},
      {"port", "9876"},
      {"port", 9876.5},
      {"version", "1"},
      {"version", true},
      {"version", 4294967297},
      {"address", 192},
      {"address", nullptr},
      {"connectionKey", {1, 2}},
      {"configuration", "1920x1080@60"},
      {"configuration", {1920, 1080, 60}},
  };
  for (const Case& c : wrongValues) {
    nlohmann::json json = validJson();
    json[c.key] = c.value;
    EXPECT_EQ(decodeError(json.dump()).rfind("json: ", 0), 0u) << json.dump();
  }

  for (const char* file : {"", "{", "[]", "null", "{\"version\":1}}", "\xFF"}) {
    EXPECT_EQ(decodeError(file).rfind("json: ", 0), 0u) << file;
  }
}

TEST(RemoteConnectionProfileTest, DecodedProfileMustPassValidation) {
  nlohmann::json json = validJson();
  json["version"] = 2;
  json["connectionKey"] = "short";
  EXPECT_EQ(decodeError(json.dump()), std::string("remote: ") + kInvalidProfile);
  json["version"] = 1;
  EXPECT_EQ(decodeError(json.dump()), std::string("remote: ") + kKeyMessage);
  json = validJson();
  json["address"] = "https://host.example";
  EXPECT_EQ(decodeError(json.dump()), std::string("remote: ") + kInvalidProfile);
}

TEST(RemoteConnectionProfileTest, FilesOverSixteenKilobytesAreRefusedBeforeParsing) {
  std::string file = text(validProfile().encoded());
  file.insert(file.size() - 1, RemoteConnectionProfile::kMaximumFileSize - file.size(), ' ');
  ASSERT_EQ(file.size(), 16384u);
  EXPECT_EQ(RemoteConnectionProfile::decode(asBytes(file)), validProfile());

  file.insert(1, 1, '\n');
  EXPECT_EQ(decodeError(file), "remote: Connection JSON is too large.");
  EXPECT_EQ(decodeError(std::string(16385, '{')), "remote: Connection JSON is too large.");
}

}  // namespace
}  // namespace veltra
