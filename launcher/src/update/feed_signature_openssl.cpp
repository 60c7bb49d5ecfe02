// Feed signatures on OpenSSL's EVP interface. A Windows build gives
// verifyP256Sha256 a CNG body instead.
#include "update/feed_signature.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

namespace launcher {

namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

Owned<EVP_PKEY> publicKey(std::string_view point) {
  Owned<OSSL_PARAM_BLD> build(OSSL_PARAM_BLD_new());
  if (!build) return nullptr;
  char group[] = "prime256v1";
  if (OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) != 1) {
    return nullptr;
  }
  Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(build.get()));
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  // fromdata checks that the point lies on the curve.
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  return Owned<EVP_PKEY>(key);
}

// The raw r and s as the DER structure EVP verifies.
std::string derSignature(std::string_view raw) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
  Owned<BIGNUM> r(BN_bin2bn(bytes, 32, nullptr));
  Owned<BIGNUM> s(BN_bin2bn(bytes + 32, 32, nullptr));
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return {};
  r.release();  // owned by sig now
  s.release();
  const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
  if (length <= 0) return {};
  std::string der(static_cast<size_t>(length), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  if (i2d_ECDSA_SIG(sig.get(), &out) != length) return {};
  return der;
}

}  // namespace

bool verifyP256Sha256(std::string_view point, std::string_view data, std::string_view signature) {
  if (point.size() != feedKeyBytes || signature.size() != feedSignatureBytes) return false;
  Owned<EVP_PKEY> key = publicKey(point);
  const std::string der = derSignature(signature);
  if (!key || der.empty()) return false;
  Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit_ex(ctx.get(), nullptr, "SHA256", nullptr, nullptr, key.get(), nullptr) != 1) {
    return false;
  }
  return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

}  // namespace launcher
