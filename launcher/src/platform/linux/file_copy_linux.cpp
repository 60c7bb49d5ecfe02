#include "platform/file_copy.h"

#include "platform/linux/posix_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>

namespace launcher {

namespace {

constexpr size_t blockSize = 256 * 1024;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  [[nodiscard]] int get() const { return fd_; }
  // Closes now, reporting a failure (a late write error shows here).
  [[nodiscard]] bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// The kernel's copy where it has one; false with errno when it failed for a
// reason a plain read and write would meet too. `fallback` says to copy by hand.
bool kernelCopy(int in, int out, bool& fallback) {
  fallback = false;
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, blockSize * 16, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF) {
      fallback = true;
      return false;
    }
    return false;
  }
}

}  // namespace

bool copyFileData(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (in.get() < 0) {
    error = posix::errnoText(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) {
    error = posix::errnoText(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = posix::errnoText(EINVAL);
    return false;
  }
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, st.st_mode & 07777));
  if (out.get() < 0) {
    error = posix::errnoText(errno);
    return false;
  }
  bool fallback = false;
  if (!kernelCopy(in.get(), out.get(), fallback)) {
    if (!fallback) {
      error = posix::errnoText(errno);
      return false;
    }
    // Start again from the beginning by hand.
    if (::lseek(in.get(), 0, SEEK_SET) < 0 || ::ftruncate(out.get(), 0) != 0 || ::lseek(out.get(), 0, SEEK_SET) < 0) {
      error = posix::errnoText(errno);
      return false;
    }
    std::unique_ptr<char[]> buffer(new char[blockSize]);
    for (;;) {
      ssize_t n = ::read(in.get(), buffer.get(), blockSize);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = posix::errnoText(errno);
        return false;
      }
      if (n == 0) break;
      if (!posix::writeAll(out.get(), buffer.get(), static_cast<size_t>(n))) {
        error = posix::errnoText(errno);
        return false;
      }
    }
  }
  // An existing file keeps its old mode through O_CREAT: set the source's.
  if (::fchmod(out.get(), st.st_mode & 07777) != 0 || ::fsync(out.get()) != 0 || !out.close()) {
    error = posix::errnoText(errno);
    return false;
  }
  return true;
}

}  // namespace launcher
