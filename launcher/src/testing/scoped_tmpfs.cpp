#include "testing/scoped_tmpfs.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace launcher::testing {

ScopedTmpfs::ScopedTmpfs(const std::filesystem::path& mountPoint, uint64_t bytes) : path_(mountPoint) {
  if (::geteuid() != 0) {
    skipReason_ = "needs root to mount a tmpfs (run the tests as root to cover a full disk)";
    return;
  }
  std::error_code ec;
  std::filesystem::create_directories(path_, ec);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
  if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    skipReason_ = "could not mount a tmpfs on " + path_.string() + ": " +
                  std::error_code(errno, std::generic_category()).message();
    return;
  }
  mounted_ = true;
}

ScopedTmpfs::~ScopedTmpfs() {
  if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

}  // namespace launcher::testing
