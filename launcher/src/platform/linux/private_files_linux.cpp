#include "platform/private_files.h"

#include "platform/linux/posix_helpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <system_error>

namespace launcher {

namespace fs = std::filesystem;

namespace {

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

fs::path configFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return fs::path(xdg);
  const char* home = std::getenv("HOME");
  if (home && home[0] != '\0') return fs::path(home) / ".config";
  return {};
}

bool machineId(std::string& id) {
  id.clear();
  for (const char* file : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::ifstream in(file, std::ios::binary);
    if (!in) continue;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    id = trimmed(text.substr(0, 4096));
    if (!id.empty()) return true;
  }
  return false;
}

NewFileResult createPrivateFile(const fs::path& file, const std::string& bytes, std::string& error) {
  const fs::path folder = file.parent_path();
  // Each missing level is created 0700; existing ones are left as they are.
  fs::path built;
  for (const fs::path& part : folder) {
    built /= part;
    if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) {
      error = posix::errnoText(errno);
      return NewFileResult::Failed;
    }
  }
  std::random_device random;
  const fs::path tmp = folder / (".tmp-" + std::to_string(random()) + "-" + file.filename().string());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = posix::errnoText(errno);
    return NewFileResult::Failed;
  }
  bool ok = posix::writeAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    error = posix::errnoText(saved);
    return NewFileResult::Failed;
  }
  // link() never replaces: of two processes racing, exactly one key wins.
  int rc = ::link(tmp.c_str(), file.c_str());
  saved = errno;
  ::unlink(tmp.c_str());
  if (rc != 0) {
    if (saved == EEXIST) return NewFileResult::AlreadyExists;
    error = posix::errnoText(saved);
    return NewFileResult::Failed;
  }
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return NewFileResult::Created;
}

PrivateRead readPrivateFile(const fs::path& file, size_t maxBytes, std::string& bytes, std::string& why) {
  bytes.clear();
  why.clear();
  // O_NOFOLLOW refuses a link at the name; O_NONBLOCK keeps a FIFO planted
  // there from holding the open.
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int code = errno;
    if (code == ENOENT) return PrivateRead::Missing;
    if (code == ELOOP) {
      why = "it is a link";
      return PrivateRead::NotPrivate;
    }
    why = posix::errnoText(code);
    return PrivateRead::Failed;
  }
  struct stat st {};
  PrivateRead result = PrivateRead::Ok;
  if (::fstat(fd, &st) != 0) {
    why = posix::errnoText(errno);
    result = PrivateRead::Failed;
  } else if (!S_ISREG(st.st_mode)) {
    why = "it is not a regular file";
    result = PrivateRead::NotPrivate;
  } else if (st.st_uid != ::geteuid()) {
    why = "another user owns it";
    result = PrivateRead::NotPrivate;
  } else if ((st.st_mode & 077) != 0) {
    why = "others may read or change it";
    result = PrivateRead::NotPrivate;
  }
  if (result == PrivateRead::Ok) {
    bytes.resize(maxBytes + 1);
    size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        why = posix::errnoText(errno);
        result = PrivateRead::Failed;
        break;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    bytes.resize(result == PrivateRead::Ok ? got : 0);
  }
  ::close(fd);
  return result;
}

bool removeFileName(const fs::path& file, std::string& error) {
  if (::unlink(file.c_str()) == 0 || errno == ENOENT) return true;
  error = posix::errnoText(errno);
  return false;
}

bool restrictToOwner(const fs::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
  if (ok && (st.st_mode & 077) != 0) ok = ::fchmod(fd, st.st_mode & 0700) == 0;
  ::close(fd);
  return ok;
}

}  // namespace launcher
