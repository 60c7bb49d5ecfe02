// Standard Base64 (RFC 4648, "+/" alphabet, "=" padding), portable. Keys and
// signatures of the update feed travel as Base64 text; decoding is strict so
// that two different texts never stand for one key.
#pragma once

#include <string>
#include <string_view>

namespace launcher {

[[nodiscard]] std::string encodeBase64(std::string_view bytes);

// True and `bytes` set when `text` is canonical padded Base64 (length a
// multiple of 4, only the alphabet, "=" only as the last one or two
// characters, unused low bits zero). An empty text decodes to no bytes.
// False leaves `bytes` unspecified.
[[nodiscard]] bool decodeBase64(std::string_view text, std::string& bytes);

}  // namespace launcher
