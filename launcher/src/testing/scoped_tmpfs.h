// A small tmpfs mounted on a fresh folder for the life of the object, so a
// test can run a write into a full disk. Mounting needs root (or the right
// capability); when it is not possible, mounted() is false and skipReason()
// says why, for GTEST_SKIP.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher::testing {

class ScopedTmpfs {
 public:
  explicit ScopedTmpfs(const std::filesystem::path& mountPoint, uint64_t bytes);
  // Unmounts (lazily, should a file still be open) and removes the folder.
  ~ScopedTmpfs();
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

  [[nodiscard]] bool mounted() const { return mounted_; }
  [[nodiscard]] const std::string& skipReason() const { return skipReason_; }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
  std::string skipReason_;
};

}  // namespace launcher::testing
