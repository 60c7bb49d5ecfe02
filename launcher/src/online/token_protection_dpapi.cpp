// Token protection on Windows: the data-protection API (CryptProtectData for
// the current user, "Vantor session" as the description) and Base64, one
// line. The system keeps the key with the user's profile, so no key file
// exists and the place is not used: a text from another user or machine
// does not open.
#include "online/token_protection.h"

#include "base/base64.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <dpapi.h>
#include <wincrypt.h>

namespace launcher {

namespace {

// Tokens are short; refuse to decode anything much larger.
constexpr size_t maxProtectedText = 4096;

std::string takeBlob(DATA_BLOB& blob) {
  std::string bytes(reinterpret_cast<const char*>(blob.pbData), blob.cbData);
  ::SecureZeroMemory(blob.pbData, blob.cbData);
  ::LocalFree(blob.pbData);
  return bytes;
}

}  // namespace

TokenKeyPlace defaultTokenKeyPlace() { return {}; }

// The system's data protection keeps the key: there is no key file to check.
bool dropUnsafeTokenKey(const TokenKeyPlace&) { return false; }

std::string protectToken(const std::string& token, const TokenKeyPlace&) {
  DATA_BLOB in{static_cast<DWORD>(token.size()), reinterpret_cast<BYTE*>(const_cast<char*>(token.data()))};
  DATA_BLOB out{};
  if (!::CryptProtectData(&in, L"Vantor session", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    return {};
  }
  return encodeBase64(takeBlob(out));
}

std::string unprotectToken(const std::string& text, const TokenKeyPlace&) {
  if (text.empty() || text.size() > maxProtectedText) return {};
  std::string bytes;
  if (!decodeBase64(text, bytes) || bytes.empty()) return {};
  DATA_BLOB in{static_cast<DWORD>(bytes.size()), reinterpret_cast<BYTE*>(bytes.data())};
  DATA_BLOB out{};
  if (!::CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) return {};
  return takeBlob(out);
}

}  // namespace launcher
