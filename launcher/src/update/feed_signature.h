// Signatures over the update server's documents (latest.json, the add-on
// catalogue): ECDSA on the P-256 curve with SHA-256. Chosen because both
// OpenSSL and the system library of every desktop the game ships on verify it
// with no code of ours.
//
// Formats, shared with the release tools:
// - a public key is Base64 of the uncompressed point: 0x04, X, Y (65 bytes);
// - a signature is Base64 of r and s, each 32 bytes big-endian (64 bytes),
//   over the document's exact bytes; the ".sig" file beside the document
//   holds that text, optionally followed by a line end.
// Any thread may call these.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

inline constexpr size_t feedKeyBytes = 65;
inline constexpr size_t feedSignatureBytes = 64;

// True and `point` holds the 65 bytes when `base64` (surrounding spaces
// allowed) is a well-formed key text. The point itself is checked when it is
// used, so a key off the curve verifies nothing.
[[nodiscard]] bool decodeFeedKey(std::string_view base64, std::string& point);

// True when `signatureText` (a ".sig" file's content) is a well-formed
// signature of `document` by one of `keyPoints` (decoded keys). False for
// anything else: a malformed text, no keys, a key off the curve.
[[nodiscard]] bool verifyFeedSignature(std::string_view document, std::string_view signatureText,
                                       const std::vector<std::string>& keyPoints);

// The library's verification, one key: `point` 65 bytes, `signature` 64
// bytes (r, s). Lives in a per-library file (OpenSSL here).
[[nodiscard]] bool verifyP256Sha256(std::string_view point, std::string_view data, std::string_view signature);

}  // namespace launcher
