#include "testing/feed_signer.h"

#include "base/base64.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>

namespace launcher::testing {

namespace {

EVP_PKEY* asKey(void* key) { return static_cast<EVP_PKEY*>(key); }

}  // namespace

FeedSigner::FeedSigner() { key_ = EVP_EC_gen("P-256"); }

FeedSigner::FeedSigner(const std::filesystem::path& pemFile) {
  std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(pemFile.c_str(), "r"), &BIO_free);
  if (in) key_ = PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr);
}

FeedSigner::~FeedSigner() { EVP_PKEY_free(asKey(key_)); }

std::string FeedSigner::publicKey() const {
  unsigned char point[65];
  size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(asKey(key_), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point,
                                      &length) != 1 ||
      length != sizeof point) {
    ADD_FAILURE() << "the key has no uncompressed point";
    return {};
  }
  return encodeBase64(std::string(reinterpret_cast<const char*>(point), length));
}

std::string FeedSigner::sign(const std::string& data) const {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  size_t length = 0;
  if (!ctx || EVP_DigestSignInit_ex(ctx.get(), nullptr, "SHA256", nullptr, nullptr, asKey(key_), nullptr) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(data.data()), data.size()) !=
          1) {
    ADD_FAILURE() << "signing failed";
    return {};
  }
  std::string der(length, '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  if (EVP_DigestSign(ctx.get(), out, &length, reinterpret_cast<const unsigned char*>(data.data()), data.size()) !=
      1) {
    ADD_FAILURE() << "signing failed";
    return {};
  }
  const auto* in = reinterpret_cast<const unsigned char*>(der.data());
  std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(length)),
                                                            &ECDSA_SIG_free);
  std::string raw(64, '\0');
  if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), reinterpret_cast<unsigned char*>(raw.data()), 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), reinterpret_cast<unsigned char*>(raw.data()) + 32, 32) != 32) {
    ADD_FAILURE() << "the signature has no r and s";
    return {};
  }
  return encodeBase64(raw);
}

void FeedSigner::writeSigned(const std::filesystem::path& file, const std::string& bytes) const {
  writeFile(file, bytes);
  std::filesystem::path signature = file;
  signature += ".sig";
  writeFile(signature, sign(bytes) + "\n");
}

}  // namespace launcher::testing
