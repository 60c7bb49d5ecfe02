// A small FAT file system (case-insensitive names, as on a Windows game drive)
// made in an image file and mounted on a fresh folder for the life of the
// object. Needs root, mkfs.vfat (dosfstools) and a kernel with vfat and loop
// devices; when any is missing, mounted() is false and skipReason() says why,
// for GTEST_SKIP.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher::testing {

class ScopedVfat {
 public:
  ScopedVfat(const std::filesystem::path& mountPoint, uint64_t bytes);
  // Unmounts (lazily, should a file still be open) and removes image and folder.
  ~ScopedVfat();
  ScopedVfat(const ScopedVfat&) = delete;
  ScopedVfat& operator=(const ScopedVfat&) = delete;

  [[nodiscard]] bool mounted() const { return mounted_; }
  [[nodiscard]] const std::string& skipReason() const { return skipReason_; }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path image_;
  bool mounted_ = false;
  std::string skipReason_;
};

}  // namespace launcher::testing
