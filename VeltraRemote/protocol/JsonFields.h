#pragma once

// Strict field reading for the JSON payloads and the connection profile. Internal to the protocol
// library: nlohmann types stay out of the public headers, which speak bytes and strings.
//
// Every field is required and checked for its JSON type and for the width of the C++ field it
// fills; unknown keys are ignored. Integer fields also take a JSON float whose value is exactly
// integral (60.0, 6e1): other writers may emit those, and nothing is lost by reading them. Any
// failure throws JsonError; for syntax errors and missing keys its text is nlohmann's own.

#include <concepts>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "support/Bytes.h"

namespace veltra::jsonfields {

// The whole text must be one JSON object.
nlohmann::json parseObject(ByteView text);

const nlohmann::json& objectField(const nlohmann::json& object, const char* key);
std::string stringField(const nlohmann::json& object, const char* key);
// Any JSON number, integer or float; always finite.
double doubleField(const nlohmann::json& object, const char* key);

int64_t signedField(const nlohmann::json& object, const char* key, int64_t min, int64_t max);
uint64_t unsignedField(const nlohmann::json& object, const char* key, uint64_t max);

template <std::integral T>
requires(!std::same_as<T, bool>) T integerField(const nlohmann::json& object, const char* key) {
  using Limits = std::numeric_limits<T>;
  if constexpr (std::is_signed_v<T>) {
    return static_cast<T>(signedField(object, key, Limits::min(), Limits::max()));
  } else {
    return static_cast<T>(unsignedField(object, key, Limits::max()));
  }
}

}  // namespace veltra::jsonfields
