// The test feed signer over CNG: an ECDSA P-256 key made here, signatures of
// the SHA-256 digest as raw r and s. Reading the release tools' PEM file is
// left to the Linux build (no test of the Windows build reads one): valid()
// is false for it here.
#include "testing/feed_signer.h"

#include "base/base64.h"
#include "testing/temp_dir.h"
#include "update/sha256.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>

#include <vector>

namespace launcher::testing {

namespace {

BCRYPT_KEY_HANDLE keyOf(void* key) { return static_cast<BCRYPT_KEY_HANDLE>(key); }

std::string sha256(const std::string& data) {
  const std::string hex = sha256Hex(data);
  std::string digest;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    digest.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return digest;
}

}  // namespace

FeedSigner::FeedSigner() {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) return;
  BCRYPT_KEY_HANDLE key = nullptr;
  const bool made = ::BCryptGenerateKeyPair(algorithm, &key, 256, 0) >= 0;
  if (made && ::BCryptFinalizeKeyPair(key, 0) >= 0) {
    key_ = key;
  } else if (made) {
    ::BCryptDestroyKey(key);
  }
  // A key keeps what it needs of its provider.
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
}

FeedSigner::FeedSigner(const std::filesystem::path&) {}

FeedSigner::~FeedSigner() {
  if (key_) ::BCryptDestroyKey(keyOf(key_));
}

std::string FeedSigner::publicKey() const {
  ULONG size = 0;
  if (!key_ || ::BCryptExportKey(keyOf(key_), nullptr, BCRYPT_ECCPUBLIC_BLOB, nullptr, 0, &size, 0) < 0) return {};
  std::vector<unsigned char> blob(size);
  if (::BCryptExportKey(keyOf(key_), nullptr, BCRYPT_ECCPUBLIC_BLOB, blob.data(), size, &size, 0) < 0) return {};
  const auto* header = reinterpret_cast<const BCRYPT_ECCKEY_BLOB*>(blob.data());
  // The blob is its header, then X and Y: the uncompressed point is 04 X Y.
  std::string point(1, '\x04');
  point.append(reinterpret_cast<const char*>(blob.data() + sizeof *header), 2 * header->cbKey);
  return encodeBase64(point);
}

std::string FeedSigner::sign(const std::string& data) const {
  std::string digest = sha256(data);
  if (!key_ || digest.empty()) return {};
  unsigned char signature[64] = {};
  ULONG size = 0;
  if (::BCryptSignHash(keyOf(key_), nullptr, reinterpret_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
                       signature, sizeof signature, &size, 0) < 0 ||
      size != sizeof signature) {
    return {};
  }
  return encodeBase64(std::string(reinterpret_cast<const char*>(signature), size));
}

void FeedSigner::writeSigned(const std::filesystem::path& file, const std::string& bytes) const {
  writeFile(file, bytes);
  std::filesystem::path sig = file;
  sig += ".sig";
  writeFile(sig, sign(bytes) + "\n");
}

}  // namespace launcher::testing
