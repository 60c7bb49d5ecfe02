// SHA-256 on OpenSSL's EVP interface.
#include "update/sha256.h"

#include <openssl/evp.h>

namespace launcher {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
};

Sha256::Sha256() : state_(new State) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context) EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr);
}

Sha256::~Sha256() {
  if (state_->context) EVP_MD_CTX_free(state_->context);
}

void Sha256::update(const void* data, size_t length) {
  if (state_->context && length > 0) EVP_DigestUpdate(state_->context, data, length);
}

std::string Sha256::finishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!state_->context || EVP_DigestFinal_ex(state_->context, digest, &length) != 1 || length != 32) {
    return {};
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string text(64, '0');
  for (unsigned i = 0; i < 32; ++i) {
    text[2 * i] = hex[digest[i] >> 4];
    text[2 * i + 1] = hex[digest[i] & 15];
  }
  return text;
}

}  // namespace launcher
