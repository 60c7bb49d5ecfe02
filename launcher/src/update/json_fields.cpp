#include "update/json_fields.h"

#include <cmath>

namespace launcher {

using json = nlohmann::json;

namespace {

const json* member(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

}  // namespace

std::string stringMember(const json& object, const char* key, const std::string& fallback) {
  const json* value = member(object, key);
  return value && value->is_string() ? value->get_ref<const std::string&>() : fallback;
}

int32_t toInt32(const json& value, int32_t fallback) {
  uint64_t bits = 0;
  if (value.is_number_unsigned()) {
    bits = value.get<uint64_t>();
  } else if (value.is_number_integer()) {
    bits = static_cast<uint64_t>(value.get<int64_t>());
  } else if (value.is_number_float()) {
    double d = value.get<double>();
    if (!std::isfinite(d)) return fallback;
    // fmod is exact, so the result is the true value modulo 2^32 and always
    // fits the conversion below.
    double wrapped = std::fmod(std::trunc(d), 4294967296.0);
    bits = static_cast<uint64_t>(static_cast<int64_t>(wrapped));
  } else {
    return fallback;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

int32_t int32Member(const json& object, const char* key, int32_t fallback) {
  const json* value = member(object, key);
  return value ? toInt32(*value, fallback) : fallback;
}

uint64_t toUint64(const json& value, uint64_t fallback) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_number_integer()) {
    int64_t n = value.get<int64_t>();
    return n < 0 ? fallback : static_cast<uint64_t>(n);
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (!(d >= 0.0) || d >= 18446744073709551616.0) return fallback;
    return static_cast<uint64_t>(d);
  }
  return fallback;
}

uint64_t uint64Member(const json& object, const char* key, uint64_t fallback) {
  const json* value = member(object, key);
  return value ? toUint64(*value, fallback) : fallback;
}

}  // namespace launcher
