#include "testing/scoped_vfat.h"

#include "testing/child_process.h"

#include <unistd.h>

#include <fstream>
#include <system_error>

namespace launcher::testing {

namespace fs = std::filesystem;

ScopedVfat::ScopedVfat(const fs::path& mountPoint, uint64_t bytes)
    : path_(mountPoint), image_(fs::path(mountPoint.native() + ".img")) {
  if (::geteuid() != 0) {
    skipReason_ = "needs root to mount a vfat image (run the tests as root to cover case-insensitive names)";
    return;
  }
  std::error_code ec;
  fs::create_directories(path_, ec);
  { std::ofstream(image_, std::ios::binary | std::ios::trunc); }
  fs::resize_file(image_, bytes, ec);
  const ProcessResult made = runProcess({"mkfs.vfat", image_.string()}, 60000);
  if (made.exitCode != 0) {
    skipReason_ = "could not make a vfat image (is dosfstools installed?): " + describe(made);
    return;
  }
  const ProcessResult mount = runProcess({"mount", "-t", "vfat", "-o", "loop", image_.string(), path_.string()}, 60000);
  if (mount.exitCode != 0) {
    skipReason_ = "could not mount a vfat image (this kernel may lack vfat or loop devices): " + mount.err;
    return;
  }
  mounted_ = true;
}

ScopedVfat::~ScopedVfat() {
  // The loop device that mount set up is released with the last unmount.
  if (mounted_) (void)runProcess({"umount", "-l", path_.string()}, 60000);
  std::error_code ec;
  fs::remove(path_, ec);
  fs::remove(image_, ec);
}

}  // namespace launcher::testing
