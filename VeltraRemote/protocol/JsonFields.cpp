#include "protocol/JsonFields.h"

#include <cmath>

#include "protocol/RemoteError.h"

namespace veltra::jsonfields {
namespace {

// Every integer up to 2^53 in magnitude is exact as a double. Beyond it a float may be a rounded
// integer literal (the reader turns -9223372036854775809 into the float -2^63), so it is refused
// rather than read as a neighbouring value.
constexpr double kLargestExactInteger = 9007199254740992.0;

JsonError fieldError(const char* key, const char* problem) {
  return JsonError(std::string("JSON value \"") + key + "\" " + problem);
}

const nlohmann::json& member(const nlohmann::json& object, const char* key) {
  try {
    return object.at(key);
  } catch (const nlohmann::json::exception& error) {
    throw JsonError(error.what());
  }
}

// An integer field holding a float: accepted only if it is exactly an integer.
int64_t integralFloat(const nlohmann::json& value, const char* key) {
  const double number = value.get<double>();
  if (!(std::fabs(number) <= kLargestExactInteger)) throw fieldError(key, "is out of range.");
  if (std::trunc(number) != number) throw fieldError(key, "must be an integer.");
  return static_cast<int64_t>(number);
}

}  // namespace

nlohmann::json parseObject(ByteView text) {
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::exception& error) {
    throw JsonError(error.what());
  }
  if (!root.is_object()) throw JsonError("JSON payload must be an object.");
  return root;
}

const nlohmann::json& objectField(const nlohmann::json& object, const char* key) {
  const nlohmann::json& value = member(object, key);
  if (!value.is_object()) throw fieldError(key, "must be an object.");
  return value;
}

std::string stringField(const nlohmann::json& object, const char* key) {
  const nlohmann::json& value = member(object, key);
  if (!value.is_string()) throw fieldError(key, "must be a string.");
  return value.get<std::string>();
}

double doubleField(const nlohmann::json& object, const char* key) {
  const nlohmann::json& value = member(object, key);
  if (!value.is_number()) throw fieldError(key, "must be a number.");
  // The parser already refuses literals that overflow a double; checked again so that this
  // function alone guarantees a finite result.
  const double number = value.get<double>();
  if (!std::isfinite(number)) throw fieldError(key, "is out of range.");
  return number;
}

int64_t signedField(const nlohmann::json& object, const char* key, int64_t min, int64_t max) {
  const nlohmann::json& value = member(object, key);
  int64_t number = 0;
  switch (value.type()) {
    case nlohmann::json::value_t::number_integer:
      number = value.get<int64_t>();
      break;
    case nlohmann::json::value_t::number_unsigned: {
      const auto unsignedNumber = value.get<uint64_t>();
      if (unsignedNumber > static_cast<uint64_t>(max)) throw fieldError(key, "is out of range.");
      number = static_cast<int64_t>(unsignedNumber);
      break;
    }
    case nlohmann::json::value_t::number_float:
      number = integralFloat(value, key);
      break;
    default:
      throw fieldError(key, "must be an integer.");
  }
  if (number < min || number > max) throw fieldError(key, "is out of range.");
  return number;
}

uint64_t unsignedField(const nlohmann::json& object, const char* key, uint64_t max) {
  const nlohmann::json& value = member(object, key);
  uint64_t number = 0;
  switch (value.type()) {
    case nlohmann::json::value_t::number_unsigned:
      number = value.get<uint64_t>();
      break;
    case nlohmann::json::value_t::number_integer: {
      // nlohmann stores non-negative literals as unsigned, so only negatives land here.
      const auto signedNumber = value.get<int64_t>();
      if (signedNumber < 0) throw fieldError(key, "is out of range.");
      number = static_cast<uint64_t>(signedNumber);
      break;
    }
    case nlohmann::json::value_t::number_float: {
      const int64_t integral = integralFloat(value, key);
      if (integral < 0) throw fieldError(key, "is out of range.");
      number = static_cast<uint64_t>(integral);
      break;
    }
    default:
      throw fieldError(key, "must be an integer.");
  }
  if (number > max) throw fieldError(key, "is out of range.");
  return number;
}

}  // namespace veltra::jsonfields
