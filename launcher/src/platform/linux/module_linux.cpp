#include "platform/module.h"

#include "platform/linux/posix_helpers.h"
#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace launcher {
namespace {

#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U
#endif

// An anonymous file holding `image`, sealed against changes. -1 with `error`
// filled when the system has no such files or refuses one.
int memoryFile(std::string_view image, const char* name, std::string& error) {
  // Kernels that can forbid running memory files by default (vm.memfd_noexec)
  // want it asked for; older ones do not know the flag.
  int fd = memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING | MFD_EXEC);
  if (fd < 0 && errno == EINVAL) fd = memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) {
    error = "Couldn't create a memory file: " + posix::errnoText(errno);
    return -1;
  }
  if (!posix::writeAll(fd, image.data(), image.size())) {
    error = "Couldn't fill a memory file: " + posix::errnoText(errno);
    ::close(fd);
    return -1;
  }
  (void)fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  return fd;
}

// A private copy in the runtime folder (a folder only this user may enter),
// for systems that refuse to run code from memory files. Removed once loaded.
void* openFromPrivateFile(std::string_view image, const char* name, std::string& error) {
  std::filesystem::path folder;
  if (!runtimeFolder(folder, error)) return nullptr;
  const std::filesystem::path file = folder / (std::string(name) + ".so");
  ::unlink(file.c_str());
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0500);
  if (fd < 0) {
    error = "Couldn't write " + file.string() + ": " + posix::errnoText(errno);
    return nullptr;
  }
  const bool written = posix::writeAll(fd, image.data(), image.size());
  const int writeErrno = errno;
  ::close(fd);
  void* handle = nullptr;
  if (!written) {
    error = "Couldn't write " + file.string() + ": " + posix::errnoText(writeErrno);
  } else if (!(handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL))) {
    const char* reason = dlerror();
    error = reason ? reason : "the system refused to load it";
  }
  ::unlink(file.c_str());
  return handle;
}

}  // namespace

bool LoadedModule::open(std::string_view image, const char* name, std::string& error) {
  if (handle_) return true;
  // The descriptor stays open for the process's life: the loader's name for
  // the module is its /proc/self/fd path, which symbolisers read back.
  const int fd = memoryFile(image, name, error);
  if (fd >= 0) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_) return true;
    const char* reason = dlerror();
    error = reason ? reason : "the system refused to load it";
    ::close(fd);
    // A library the module needs is missing: a file would not help.
    if (error.rfind(path, 0) != 0) {
      error = "Couldn't load " + std::string(name) + ": " + error;
      return false;
    }
  }
  std::string fileError;
  handle_ = openFromPrivateFile(image, name, fileError);
  if (handle_) return true;
  error = "Couldn't load " + std::string(name) + ": " + error + "; from a file: " + fileError;
  return false;
}

void* LoadedModule::symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

}  // namespace launcher
