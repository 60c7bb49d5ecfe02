// SHA-256 of content: digests are exchanged as 64 lowercase hex digits and
// compared as text. An empty string is the only failure result.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace launcher {

// Incremental hasher. One thread at a time; not copyable.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, size_t length);
  // The digest text of everything passed to update. Call once.
  [[nodiscard]] std::string finishHex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

[[nodiscard]] std::string sha256Hex(const std::string& bytes);
[[nodiscard]] std::string sha256Hex(const void* data, size_t length);

// Digest of a file read in 1 MiB blocks, one buffer per call. Empty when the
// file cannot be opened or `cancel` is seen set before a read. `onBytes` is
// called with each block's length.
[[nodiscard]] std::string sha256File(const std::filesystem::path& file,
                                     const std::atomic<bool>* cancel = nullptr,
                                     const std::function<void(uint64_t)>& onBytes = {});

// 64 characters, each of "0123456789abcdef".
[[nodiscard]] bool isValidDigest(const std::string& digest);

}  // namespace launcher
