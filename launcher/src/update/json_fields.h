// Reading members of JSON documents that come from outside: a member that is
// missing or of another type gives the caller's default, and no value, however
// large, can make a conversion misbehave.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace launcher {

// The string member `key` of `object`, or `fallback`. `object` may be any value.
[[nodiscard]] std::string stringMember(const nlohmann::json& object, const char* key,
                                       const std::string& fallback = {});

// A number taken as a 32-bit integer: integers keep their low 32 bits (so an
// unsigned 32-bit value written back reads as the same int32), fractions are
// cut toward zero first. Not a number: `fallback`.
[[nodiscard]] int32_t toInt32(const nlohmann::json& value, int32_t fallback = 0);
[[nodiscard]] int32_t int32Member(const nlohmann::json& object, const char* key, int32_t fallback = 0);

// A byte count: a non-negative number below 2^64 (fractions cut). A negative
// number or anything else: `fallback`.
[[nodiscard]] uint64_t toUint64(const nlohmann::json& value, uint64_t fallback = 0);
[[nodiscard]] uint64_t uint64Member(const nlohmann::json& object, const char* key, uint64_t fallback = 0);

}  // namespace launcher
