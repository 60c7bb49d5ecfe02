// Token protection on OpenSSL's EVP interface. A Windows build gives
// protectToken and unprotectToken the data-protection API instead.
#include "online/token_protection.h"

#include "base/log.h"
#include "platform/private_files.h"

#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <array>
#include <memory>
#include <system_error>

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr size_t keyBytes = 32;
constexpr size_t nonceBytes = 12;
constexpr size_t tagBytes = 16;
constexpr const char* purpose = "Vantor session";
// Tokens are short; refuse to decode anything much larger.
constexpr size_t maxProtectedText = 4096;

using Key = std::array<unsigned char, keyBytes>;

struct CipherDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};

enum class KeyRead { Ok, Missing, Bad, Unsafe };

KeyRead readKey(const fs::path& file, Key& key, std::string& why) {
  std::string bytes;
  switch (readPrivateFile(file, keyBytes, bytes, why)) {
    case PrivateRead::Ok:
      break;
    case PrivateRead::Missing:
      return KeyRead::Missing;
    case PrivateRead::NotPrivate:
      return KeyRead::Unsafe;
    case PrivateRead::Failed:
      return KeyRead::Bad;
  }
  if (bytes.size() != keyBytes) return KeyRead::Bad;
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return KeyRead::Ok;
}

// A key others could have read, or that is not ours, protects nothing: it is
// removed (the name only, never a link's target), so that the next save makes
// a new one. True when it was there and is now gone.
bool removeUnsafeKey(const fs::path& file, const std::string& why) {
  std::string error;
  if (!removeFileName(file, error)) {
    logf("warn", "The session key file is not private ({}) and could not be removed: {}", why, error);
    return false;
  }
  logf("warn", "The session key file was not private ({}); it was removed and the sign-in dropped", why);
  return true;
}

// The existing key, or a new one written exclusively when there is none (or
// the one there was not private).
bool loadOrCreateKey(const fs::path& file, Key& key) {
  std::string why;
  switch (readKey(file, key, why)) {
    case KeyRead::Ok:
      return true;
    case KeyRead::Bad:
      writeLog("warn", "The session key file is damaged; the sign-in is kept for this run only");
      return false;
    case KeyRead::Unsafe:
      if (!removeUnsafeKey(file, why)) return false;
      break;
    case KeyRead::Missing:
      break;
  }
  Key fresh;
  if (RAND_bytes(fresh.data(), static_cast<int>(fresh.size())) != 1) return false;
  std::string error;
  NewFileResult made =
      createPrivateFile(file, std::string(reinterpret_cast<const char*>(fresh.data()), fresh.size()), error);
  if (made == NewFileResult::Failed) {
    logf("warn", "Couldn't create the session key: {}", error);
    return false;
  }
  // Created, or another process was first: use whatever is there now, if it
  // is private.
  return readKey(file, key, why) == KeyRead::Ok;
}

bool deriveKey(const Key& key, const std::string& machine, Key& derived) {
  std::unique_ptr<EVP_PKEY_CTX, PkeyDeleter> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0) return false;
  if (EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) <= 0) return false;
  if (!machine.empty() &&
      EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), reinterpret_cast<const unsigned char*>(machine.data()),
                                  static_cast<int>(machine.size())) <= 0) {
    return false;
  }
  if (EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), key.data(), static_cast<int>(key.size())) <= 0) return false;
  if (EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), reinterpret_cast<const unsigned char*>(purpose),
                                  static_cast<int>(std::char_traits<char>::length(purpose))) <= 0) {
    return false;
  }
  size_t length = derived.size();
  return EVP_PKEY_derive(ctx.get(), derived.data(), &length) > 0 && length == derived.size();
}

std::string toBase64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool fromBase64(const std::string& text, std::string& bytes) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > maxProtectedText) return false;
  size_t padding = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                          c == '/';
    if (c == '=' && i + 2 >= text.size()) {
      ++padding;
    } else if (!alphabet || padding > 0) {
      return false;
    }
  }
  bytes.assign(3 * (text.size() / 4), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0 || static_cast<size_t>(n) < padding) return false;
  bytes.resize(static_cast<size_t>(n) - padding);
  return true;
}

}  // namespace

TokenKeyPlace defaultTokenKeyPlace() {
  TokenKeyPlace place;
  fs::path config = configFolder();
  if (!config.empty()) place.keyFile = config / "vantor" / "session.key";
  if (!machineId(place.machineId)) {
    writeLog("warn", "This machine has no machine id; the sign-in is bound to this user only");
  }
  return place;
}

bool dropUnsafeTokenKey(const TokenKeyPlace& place) {
  if (place.keyFile.empty()) return false;
  Key key;
  std::string why;
  return readKey(place.keyFile, key, why) == KeyRead::Unsafe && removeUnsafeKey(place.keyFile, why);
}

std::string protectToken(const std::string& token, const TokenKeyPlace& place) {
  if (place.keyFile.empty()) return {};
  Key key;
  Key derived;
  if (!loadOrCreateKey(place.keyFile, key) || !deriveKey(key, place.machineId, derived)) return {};
  std::array<unsigned char, nonceBytes> nonce;
  if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) return {};

  std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return {};
  std::string blob(reinterpret_cast<const char*>(nonce.data()), nonce.size());
  blob.resize(nonceBytes + token.size() + tagBytes);
  auto* out = reinterpret_cast<unsigned char*>(blob.data()) + nonceBytes;
  int len = 0;
  int total = 0;
  if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonceBytes), nullptr) != 1 ||
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, derived.data(), nonce.data()) != 1 ||
      EVP_EncryptUpdate(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(purpose),
                        static_cast<int>(std::char_traits<char>::length(purpose))) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out, &len, reinterpret_cast<const unsigned char*>(token.data()),
                        static_cast<int>(token.size())) != 1) {
    return {};
  }
  total = len;
  if (EVP_EncryptFinal_ex(ctx.get(), out + total, &len) != 1) return {};
  total += len;
  if (static_cast<size_t>(total) != token.size()) return {};
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagBytes), out + total) != 1) return {};
  return toBase64(blob);
}

std::string unprotectToken(const std::string& text, const TokenKeyPlace& place) {
  if (place.keyFile.empty()) return {};
  Key key;
  Key derived;
  std::string why;
  if (readKey(place.keyFile, key, why) != KeyRead::Ok || !deriveKey(key, place.machineId, derived)) return {};
  std::string blob;
  if (!fromBase64(text, blob) || blob.size() < nonceBytes + tagBytes) return {};
  const auto* bytes = reinterpret_cast<const unsigned char*>(blob.data());
  const size_t cipherBytes = blob.size() - nonceBytes - tagBytes;
  std::string token(cipherBytes, '\0');
  std::array<unsigned char, tagBytes> tag;
  std::copy(bytes + nonceBytes + cipherBytes, bytes + blob.size(), tag.begin());

  std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return {};
  int len = 0;
  if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonceBytes), nullptr) != 1 ||
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, derived.data(), bytes) != 1 ||
      EVP_DecryptUpdate(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(purpose),
                        static_cast<int>(std::char_traits<char>::length(purpose))) != 1 ||
      EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(token.data()), &len, bytes + nonceBytes,
                        static_cast<int>(cipherBytes)) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagBytes), tag.data()) != 1) {
    return {};
  }
  int finalLen = 0;
  // The tag check: a wrong key, machine or a changed byte fails here.
  if (EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(token.data()) + len, &finalLen) != 1) {
    return {};
  }
  return token;
}

}  // namespace launcher
