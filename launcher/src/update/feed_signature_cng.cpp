// Feed signatures on Windows' CNG: the point imported as an ECC public blob
// (BCRYPT_ECDSA_PUBLIC_P256_MAGIC, X and Y), the document hashed with
// SHA-256, and BCryptVerifySignature over the digest with the raw r and s,
// the form CNG itself uses.
#include "update/feed_signature.h"

#include "update/sha256.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <vector>

namespace launcher {

namespace {

constexpr size_t coordinateBytes = 32;

// The 32 digest bytes from the hex text sha256Hex gives.
bool digestBytes(std::string_view data, UCHAR (&digest)[32]) {
  const std::string hex = sha256Hex(data.data(), data.size());
  if (hex.size() != 64) return false;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  for (size_t i = 0; i < 32; ++i) digest[i] = static_cast<UCHAR>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
  return true;
}

}  // namespace

bool verifyP256Sha256(std::string_view point, std::string_view data, std::string_view signature) {
  // Only the uncompressed form: 0x04, X, Y.
  if (point.size() != feedKeyBytes || signature.size() != feedSignatureBytes || point[0] != 0x04) return false;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * coordinateBytes);
  BCRYPT_ECCKEY_BLOB header{};
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = coordinateBytes;
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, point.data() + 1, 2 * coordinateBytes);
  BCRYPT_KEY_HANDLE key = nullptr;
  bool valid = false;
  UCHAR digest[32];
  // The import refuses a point that is not on the curve.
  if (BCRYPT_SUCCESS(::BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                           static_cast<ULONG>(blob.size()), 0)) &&
      digestBytes(data, digest)) {
    std::vector<UCHAR> raw(signature.begin(), signature.end());
    valid = ::BCryptVerifySignature(key, nullptr, digest, sizeof digest, raw.data(), static_cast<ULONG>(raw.size()),
                                    0) == 0;  // STATUS_SUCCESS
  }
  if (key) ::BCryptDestroyKey(key);
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
  return valid;
}

}  // namespace launcher
