// Linux implementation of the platform seam.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>

namespace launcher {

namespace fs = std::filesystem;

namespace {

std::string envOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string errnoText(int code) { return std::error_code(code, std::generic_category()).message(); }

// Writes the whole buffer, retrying short writes and interrupted calls.
bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Copies `from` to a temporary beside `to`, syncs it and renames it into place,
// so a failed copy never leaves a damaged `to`.
bool copyAcrossVolumes(const fs::path& from, const fs::path& to, std::string& error) {
  const fs::path tmp = fs::path(to.native() + ".part");
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    error = errnoText(errno);
    return false;
  }
  struct stat st {};
  ::fstat(in, &st);
  int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
  if (out < 0) {
    error = errnoText(errno);
    ::close(in);
    return false;
  }
  static constexpr size_t blockSize = 1 << 20;
  std::unique_ptr<char[]> buffer(new char[blockSize]);
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buffer.get(), blockSize);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      error = errnoText(errno);
      break;
    }
    if (n == 0) break;
    if (!writeAll(out, buffer.get(), static_cast<size_t>(n))) {
      ok = false;
      error = errnoText(errno);
      break;
    }
  }
  if (ok && ::fsync(out) != 0) {
    ok = false;
    error = errnoText(errno);
  }
  if (::close(out) != 0 && ok) {
    ok = false;
    error = errnoText(errno);
  }
  ::close(in);
  if (ok && ::rename(tmp.c_str(), to.c_str()) != 0) {
    ok = false;
    error = errnoText(errno);
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  ::unlink(from.c_str());
  return true;
}

}  // namespace

fs::path executablePath() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return fs::path(std::string(buffer, static_cast<size_t>(n)));
}

fs::path localAppDataFolder() {
  std::string xdg = envOrEmpty("XDG_DATA_HOME");
  if (!xdg.empty() && xdg[0] == '/') return fs::path(xdg);
  std::string home = envOrEmpty("HOME");
  if (!home.empty()) return fs::path(home) / ".local" / "share";
  return {};
}

fs::path savedGamesFolder() { return {}; }

fs::path tempFolder() {
  std::string tmp = envOrEmpty("TMPDIR");
  if (!tmp.empty()) return fs::path(tmp);
  return fs::path("/tmp");
}

fs::path runtimeFolder() {
  std::string runtime = envOrEmpty("XDG_RUNTIME_DIR");
  fs::path folder = !runtime.empty() ? fs::path(runtime) / "vantor"
                                     : fs::path("/tmp") / ("vantor-" + std::to_string(::getuid()));
  ::mkdir(folder.c_str(), 0700);
  return folder;
}

bool moveFileReplace(const fs::path& from, const fs::path& to, MoveMode mode, std::string& error) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    if (errno != EXDEV) {
      error = errnoText(errno);
      return false;
    }
    if (!copyAcrossVolumes(from, to, error)) return false;
  } else if (mode == MoveMode::WriteThrough && !flushFileToDisk(to)) {
    error = errnoText(errno);
    return false;
  }
  if (mode == MoveMode::WriteThrough) {
    fs::path folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
    if (!flushFolderToDisk(folder)) {
      error = errnoText(errno);
      return false;
    }
  }
  return true;
}

bool flushFileToDisk(const fs::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

void startFlushToDisk(const fs::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  ::close(fd);
}

bool flushFolderToDisk(const fs::path& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

bool freeDiskSpace(const fs::path& folder, uint64_t& bytes) {
  struct statvfs st {};
  if (::statvfs(folder.c_str(), &st) != 0) return false;
  bytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
  return true;
}

void debugOutput(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

fs::path gameLockPath() { return runtimeFolder() / "game.lock"; }

bool isGameRunning() {
  int fd = ::open(gameLockPath().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;  // no lock file: no game has ever run this session
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  query.l_start = 0;
  query.l_len = 0;
  bool running = ::fcntl(fd, F_OFD_GETLK, &query) == 0 && query.l_type != F_UNLCK;
  ::close(fd);
  return running;
}

GameLock::~GameLock() { release(); }

bool GameLock::acquire(std::string& error) {
  if (fd_ >= 0) return true;
  const fs::path lock = gameLockPath();
  int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "Can't open " + lock.string() + ": " + errnoText(errno);
    return false;
  }
  struct flock request {};
  request.l_type = F_WRLCK;
  request.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &request) != 0) {
    error = "The game is already running (" + lock.string() + " is locked)";
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void GameLock::release() {
  if (fd_ < 0) return;
  ::close(fd_);  // closing the last descriptor of the description drops the lock
  fd_ = -1;
}

bool isTerminal(StandardStream stream) {
  int fd = stream == StandardStream::Input ? STDIN_FILENO
           : stream == StandardStream::Output ? STDOUT_FILENO
                                              : STDERR_FILENO;
  return ::isatty(fd) == 1;
}

}  // namespace launcher
