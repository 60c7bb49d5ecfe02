// Windows: a test cannot mount a small or case-insensitive file system here.
#include "testing/scoped_tmpfs.h"
#include "testing/scoped_vfat.h"

namespace launcher::testing {

ScopedTmpfs::ScopedTmpfs(const std::filesystem::path& mountPoint, uint64_t) : path_(mountPoint) {
  skipReason_ = "Linux-only: mounts a tmpfs to fill a disk";
}

ScopedTmpfs::~ScopedTmpfs() = default;

ScopedVfat::ScopedVfat(const std::filesystem::path& mountPoint, uint64_t) : path_(mountPoint) {
  skipReason_ = "Linux-only: mounts a FAT image (Windows' own file systems are case-insensitive already)";
}

ScopedVfat::~ScopedVfat() = default;

}  // namespace launcher::testing
