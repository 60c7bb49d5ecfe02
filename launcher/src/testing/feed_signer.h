// Signing feed documents in tests the way the release tools do (ECDSA P-256,
// SHA-256, raw r and s in Base64), with a key made here or the PEM file
// make_key.py wrote, so that a test can make documents the tools never
// would: expired, older, signed by another key. Not thread-safe.
#pragma once

#include <filesystem>
#include <string>

namespace launcher::testing {

class FeedSigner {
 public:
  FeedSigner();  // a new key
  // The private key in a PEM file; valid() is false when it cannot be read.
  explicit FeedSigner(const std::filesystem::path& pemFile);
  ~FeedSigner();
  FeedSigner(const FeedSigner&) = delete;
  FeedSigner& operator=(const FeedSigner&) = delete;

  [[nodiscard]] bool valid() const { return key_ != nullptr; }
  // Base64 of the uncompressed point, as launchers trust it.
  [[nodiscard]] std::string publicKey() const;
  // Base64 of r and s (32 bytes each) of a signature of `data`.
  [[nodiscard]] std::string sign(const std::string& data) const;
  // Writes `bytes` to `file` and its signature (with a line end) to file + ".sig".
  void writeSigned(const std::filesystem::path& file, const std::string& bytes) const;

 private:
  void* key_ = nullptr;  // EVP_PKEY
};

}  // namespace launcher::testing
