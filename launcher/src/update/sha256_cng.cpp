// SHA-256 on Windows' CNG (bcrypt): the provider, a hash object in a buffer
// the hasher owns, and the hash calls.
#include "update/sha256.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <vector>

namespace launcher {

struct Sha256::State {
  BCRYPT_ALG_HANDLE provider = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::vector<UCHAR> object;
  bool failed = false;
};

Sha256::Sha256() : state_(new State) {
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&state_->provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    state_->provider = nullptr;
    state_->failed = true;
    return;
  }
  DWORD objectLength = 0;
  ULONG got = 0;
  if (!BCRYPT_SUCCESS(::BCryptGetProperty(state_->provider, BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&objectLength), sizeof objectLength, &got, 0))) {
    state_->failed = true;
    return;
  }
  state_->object.assign(objectLength, 0);
  if (!BCRYPT_SUCCESS(::BCryptCreateHash(state_->provider, &state_->hash, state_->object.data(), objectLength,
                                         nullptr, 0, 0))) {
    state_->hash = nullptr;
    state_->failed = true;
  }
}

Sha256::~Sha256() {
  if (state_->hash) ::BCryptDestroyHash(state_->hash);
  if (state_->provider) ::BCryptCloseAlgorithmProvider(state_->provider, 0);
}

void Sha256::update(const void* data, size_t length) {
  if (!state_->hash) return;
  const auto* bytes = static_cast<const UCHAR*>(data);
  // BCryptHashData takes at most 4 GiB - 1 per call.
  while (length > 0) {
    const ULONG piece = static_cast<ULONG>(std::min<size_t>(length, 1u << 30));
    if (!BCRYPT_SUCCESS(::BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), piece, 0))) {
      state_->failed = true;
      return;
    }
    bytes += piece;
    length -= piece;
  }
}

std::string Sha256::finishHex() {
  UCHAR digest[32];
  if (!state_->hash || state_->failed || !BCRYPT_SUCCESS(::BCryptFinishHash(state_->hash, digest, 32, 0))) return {};
  static constexpr char hex[] = "0123456789abcdef";
  std::string text(64, '0');
  for (unsigned i = 0; i < 32; ++i) {
    text[2 * i] = hex[digest[i] >> 4];
    text[2 * i + 1] = hex[digest[i] & 15];
  }
  return text;
}

}  // namespace launcher
