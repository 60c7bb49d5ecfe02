#include "platform/executable_swap.h"

#include "platform/file_copy.h"
#include "platform/linux/posix_helpers.h"
#include "platform/platform.h"

#include <stdio.h>
#include <unistd.h>

#include <cerrno>

namespace launcher {

namespace {

// Errors of link(2) that say this file system (or its policy) has no hard
// links for us, rather than that something is wrong with the files.
bool linksUnavailable(int code) {
  return code == EPERM || code == EXDEV || code == EMLINK || code == ENOSYS || code == EOPNOTSUPP;
}

}  // namespace

SwapResult swapInExecutable(const std::filesystem::path& fresh, const std::filesystem::path& executable,
                            const std::filesystem::path& old, bool& durable, std::string& error) {
  durable = true;
  if (::unlink(old.c_str()) != 0 && errno != ENOENT) {
    error = posix::errnoText(errno);
    return SwapResult::OldNotKept;
  }
  if (::link(executable.c_str(), old.c_str()) != 0) {
    const int code = errno;
    if (!linksUnavailable(code)) {
      error = posix::errnoText(code);
      return SwapResult::OldNotKept;
    }
    // The copy is flushed before it returns: the previous build is whole on
    // disk under its second name before the first one changes.
    if (!copyFileData(executable, old, error)) {
      (void)::unlink(old.c_str());
      return SwapResult::OldNotKept;
    }
  }
  // rename(2) replaces the name in one step: the path names the previous
  // inode or the new one, never neither.
  if (::rename(fresh.c_str(), executable.c_str()) != 0) {
    error = posix::errnoText(errno);
    return SwapResult::NotSwapped;
  }
  const std::filesystem::path folder = executable.has_parent_path() ? executable.parent_path() : ".";
  if (!flushFolderToDisk(folder)) {
    error = posix::errnoText(errno);
    durable = false;
  }
  return SwapResult::Swapped;
}

}  // namespace launcher
