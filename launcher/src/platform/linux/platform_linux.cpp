// Linux implementation of the platform seam.
#include "platform/platform.h"

#include "platform/linux/posix_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>

namespace launcher {

namespace fs = std::filesystem;

const char* const gameExecutableName = "Vantor";
const char* const uninstallerName = "uninstall";

namespace {

std::string envOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// Copies `from` to a temporary beside `to`, syncs it and renames it into place,
// so a failed copy never leaves a damaged `to`.
bool copyAcrossVolumes(const fs::path& from, const fs::path& to, std::string& error) {
  const fs::path tmp = fs::path(to.native() + ".part");
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    error = posix::errnoText(errno);
    return false;
  }
  struct stat st {};
  ::fstat(in, &st);
  int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
  if (out < 0) {
    error = posix::errnoText(errno);
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
      error = posix::errnoText(errno);
      break;
    }
    if (n == 0) break;
    if (!posix::writeAll(out, buffer.get(), static_cast<size_t>(n))) {
      ok = false;
      error = posix::errnoText(errno);
      break;
    }
  }
  if (ok && ::fsync(out) != 0) {
    ok = false;
    error = posix::errnoText(errno);
  }
  if (::close(out) != 0 && ok) {
    ok = false;
    error = posix::errnoText(errno);
  }
  ::close(in);
  if (ok && ::rename(tmp.c_str(), to.c_str()) != 0) {
    ok = false;
    error = posix::errnoText(errno);
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  ::unlink(from.c_str());
  return true;
}

}  // namespace

std::optional<std::string> environmentVariable(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

void setEnvironmentVariable(const char* name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

void overrideUserFolders(const fs::path&) {
  // Every per-user folder comes from the environment here (HOME, XDG_*,
  // TMPDIR), which the caller sets, and which children inherit too.
}

int currentProcessId() { return static_cast<int>(::getpid()); }

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + (argc > 0 ? argc : 0));
}

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

bool ensurePrivateFolder(const fs::path& folder, const std::string& what, std::string& error) {
  const std::string name = folder.string();
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "Can't create the " + what + " " + name + ": " + posix::errnoText(errno);
    return false;
  }
  // lstat: a link to a folder is refused, wherever it points.
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    error = "Can't use the " + what + " " + name + ": " + posix::errnoText(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = "The " + what + " " + name + " is not a folder (a link or a file stands in its place)";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error = "The " + what + " " + name + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    return false;
  }
  if ((st.st_mode & 07777) != 0700) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    error = "The " + what + " " + name + " has mode " + mode + ", not 0700: other users could reach it";
    return false;
  }
  return true;
}

bool ensurePrivateFolder(const fs::path& folder, std::string& error) {
  return ensurePrivateFolder(folder, "runtime folder", error);
}

bool runtimeFolder(fs::path& folder, std::string& error) {
  std::string runtime = envOrEmpty("XDG_RUNTIME_DIR");
  if (!runtime.empty()) {
    // $XDG_RUNTIME_DIR is private to the user by definition.
    folder = fs::path(runtime) / "vantor";
    ::mkdir(folder.c_str(), 0700);
    return true;
  }
  folder = fs::path("/tmp") / ("vantor-" + std::to_string(::geteuid()));
  if (ensurePrivateFolder(folder, error)) return true;
  folder.clear();
  return false;
}

fs::path runtimeFolder() {
  fs::path folder;
  std::string error;
  return runtimeFolder(folder, error) ? folder : fs::path();
}

std::FILE* openFile(const fs::path& file, FileOpen mode) {
  // "e": O_CLOEXEC, so a game or helper started meanwhile never holds the file.
  const char* how = "rbe";
  switch (mode) {
    case FileOpen::Read:
      how = "rbe";
      break;
    case FileOpen::CreateOrTruncate:
      how = "wbe";
      break;
    case FileOpen::UpdateExisting:
      how = "r+be";
      break;
    case FileOpen::CreatePrivate: {
      int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
      if (fd < 0) return nullptr;
      // An existing file keeps its mode through O_CREAT: take it down.
      std::FILE* stream = ::fchmod(fd, 0600) == 0 ? ::fdopen(fd, "wb") : nullptr;
      if (!stream) ::close(fd);
      return stream;
    }
  }
  return std::fopen(file.c_str(), how);
}

bool seekFile(std::FILE* stream, uint64_t offset) {
  static_assert(sizeof(off_t) >= sizeof(int64_t), "large files need a 64-bit off_t");
  if (!stream || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return ::fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

PrepareResult prepareFile(const fs::path& file, uint64_t size, std::string& error) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = posix::errnoText(errno);
    return PrepareResult::Failed;
  }
  PrepareResult result = PrepareResult::Ready;
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    error = posix::errnoText(errno);
    result = errno == ENOSPC || errno == EFBIG ? PrepareResult::NoSpace : PrepareResult::Failed;
  } else if (size > 0) {
    const int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (rc == ENOSPC) {
      error = posix::errnoText(rc);
      result = PrepareResult::NoSpace;
    }
    // Any other refusal (a file system that cannot allocate ahead) leaves a
    // sparse file, which is still correct.
  }
  ::close(fd);
  return result;
}

bool fileIdentity(const fs::path& file, FileIdentity& out) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return false;
  out.device = static_cast<uint64_t>(st.st_dev);
  out.index = static_cast<uint64_t>(st.st_ino);
  return true;
}

namespace {

void fillStamp(const struct stat& st, FileStamp& out) {
  out.device = static_cast<uint64_t>(st.st_dev);
  out.index = static_cast<uint64_t>(st.st_ino);
  out.size = static_cast<uint64_t>(st.st_size);
  out.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  out.changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

}  // namespace

bool fileStamp(const fs::path& file, FileStamp& out) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return false;
  fillStamp(st, out);
  return true;
}

void fileStampsUnder(const fs::path& folder, const std::vector<fs::path>& names,
                     std::vector<std::optional<FileStamp>>& out) {
  out.assign(names.size(), std::nullopt);
  // Followed like stat follows it: a link to the folder is the folder.
  const int dir = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (size_t i = 0; i < names.size(); ++i) {
    struct stat st {};
    const bool ok = dir >= 0 ? ::fstatat(dir, names[i].c_str(), &st, 0) == 0 : ::stat((folder / names[i]).c_str(), &st) == 0;
    if (!ok) continue;
    FileStamp stamp;
    fillStamp(st, stamp);
    out[i] = stamp;
  }
  if (dir >= 0) ::close(dir);
}

bool moveFileReplace(const fs::path& from, const fs::path& to, MoveMode mode, std::string& error) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    if (errno != EXDEV) {
      error = posix::errnoText(errno);
      return false;
    }
    if (!copyAcrossVolumes(from, to, error)) return false;
  } else if (mode == MoveMode::WriteThrough && !flushFileToDisk(to)) {
    error = posix::errnoText(errno);
    return false;
  }
  if (mode == MoveMode::WriteThrough) {
    fs::path folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
    if (!flushFolderToDisk(folder)) {
      error = posix::errnoText(errno);
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

bool isLink(const fs::path& path) {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(path, ec));
}

bool setUninstallEntrySize(uint32_t) { return false; }

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

fs::path gameLockPath() {
  const fs::path folder = runtimeFolder();
  return folder.empty() ? fs::path() : folder / "game.lock";
}

bool isGameRunning() {
  const fs::path lock = gameLockPath();
  if (lock.empty()) return false;  // no usable runtime folder: start-up refuses to run
  int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
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
  fs::path folder;
  if (!runtimeFolder(folder, error)) return false;
  const fs::path lock = folder / "game.lock";
  int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "Can't open " + lock.string() + ": " + posix::errnoText(errno);
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

FileLock::~FileLock() { release(); }

FileLock::Result FileLock::tryAcquire(const fs::path& file, std::string& error) {
  if (fd_ >= 0) return Result::Acquired;
  // A holder that is finishing deletes the file before it lets go; a file we
  // opened just before that is no longer the lock, so try again with a new one.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::error_code ec;
    if (file.has_parent_path()) fs::create_directories(file.parent_path(), ec);
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == ENOENT) continue;  // its folder was just removed
      error = "Can't open " + file.string() + ": " + posix::errnoText(errno);
      return Result::Failed;
    }
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &request) != 0) {
      const int code = errno;
      ::close(fd);
      if (code == EAGAIN || code == EACCES) return Result::HeldElsewhere;
      error = "Can't lock " + file.string() + ": " + posix::errnoText(code);
      return Result::Failed;
    }
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::stat(file.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      fd_ = fd;
      path_ = file;
      return Result::Acquired;
    }
    ::close(fd);
  }
  error = "Can't lock " + file.string() + ": it keeps being replaced";
  return Result::Failed;
}

void FileLock::removeAndRelease() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  release();
}

void FileLock::release() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  path_.clear();
}

bool isTerminal(StandardStream stream) {
  int fd = stream == StandardStream::Input ? STDIN_FILENO
           : stream == StandardStream::Output ? STDOUT_FILENO
                                              : STDERR_FILENO;
  return ::isatty(fd) == 1;
}

}  // namespace launcher
