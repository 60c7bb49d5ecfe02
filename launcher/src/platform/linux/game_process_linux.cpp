// Linux: posix_spawn, a pidfd for the process's end and an eventfd as the stop
// event.
#include "platform/game_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <system_error>

extern char** environ;

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr int pollIntervalMs = 200;

std::string errnoText(int code) { return std::error_code(code, std::generic_category()).message(); }

int openPidHandle(pid_t pid) {
#ifdef SYS_pidfd_open
  long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    // pidfd_open gives close-on-exec descriptors already; say so anyway.
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#else
  (void)pid;
#endif
  return -1;
}

uint32_t exitCodeOf(int status) {
  if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<uint32_t>(WTERMSIG(status));
  return 0;
}

// Reaps `pid`: blocking or not. True with the code once it has ended.
bool reap(pid_t pid, bool block, uint32_t& code) {
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, block ? 0 : WNOHANG);
    if (r == pid) {
      code = exitCodeOf(status);
      return true;
    }
    if (r == 0) return false;
    if (errno == EINTR) continue;
    // ECHILD: someone else reaped it (never the launcher itself); the code is lost.
    code = 0;
    return true;
  }
}

// The process's umask, read without changing it (umask(2) would, for a moment,
// for every thread).
mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      try {
        return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8) & 0777);
      } catch (...) {
        break;
      }
    }
  }
  return 022;
}

struct SpawnAttr {
  posix_spawnattr_t attr;
  bool ready = false;
  SpawnAttr() { ready = ::posix_spawnattr_init(&attr) == 0; }
  ~SpawnAttr() {
    if (ready) ::posix_spawnattr_destroy(&attr);
  }
};

struct FileActions {
  posix_spawn_file_actions_t actions;
  bool ready = false;
  FileActions() { ready = ::posix_spawn_file_actions_init(&actions) == 0; }
  ~FileActions() {
    if (ready) ::posix_spawn_file_actions_destroy(&actions);
  }
};

}  // namespace

GameProcess::~GameProcess() { reset(); }

GameProcess::GameProcess(GameProcess&& other) noexcept : pid_(other.pid_), handle_(other.handle_) {
  other.pid_ = -1;
  other.handle_ = -1;
}

GameProcess& GameProcess::operator=(GameProcess&& other) noexcept {
  if (this != &other) {
    reset();
    pid_ = other.pid_;
    handle_ = other.handle_;
    other.pid_ = -1;
    other.handle_ = -1;
  }
  return *this;
}

void GameProcess::reset() {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
  pid_ = -1;
}

bool startGameProcess(const std::vector<std::string>& argv, const fs::path& workingFolder, GameProcess& process,
                      int& errorCode, std::string& error) {
  process.reset();
  if (argv.empty()) {
    errorCode = EINVAL;
    error = errnoText(errorCode);
    return false;
  }
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  SpawnAttr attr;
  FileActions actions;
  if (!attr.ready || !actions.ready) {
    errorCode = ENOMEM;
    error = errnoText(errorCode);
    return false;
  }
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  int rc = ::posix_spawnattr_setflags(&attr.attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr.attr, &all);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr.attr, &none);
  if (rc == 0) rc = ::posix_spawn_file_actions_addchdir_np(&actions.actions, workingFolder.c_str());
  // Every descriptor of ours is close-on-exec already; this also covers those a
  // library opened without it.
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions.actions, 3);
  if (rc != 0) {
    errorCode = rc;
    error = errnoText(rc);
    return false;
  }
  pid_t pid = -1;
  rc = ::posix_spawn(&pid, argv[0].c_str(), &actions.actions, &attr.attr, args.data(), environ);
  if (rc != 0) {
    errorCode = rc;
    error = errnoText(rc);
    return false;
  }
  process.pid_ = pid;
  process.handle_ = openPidHandle(pid);
  return true;
}

StopEvent::StopEvent() { fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

StopEvent::~StopEvent() {
  if (fd_ >= 0) ::close(fd_);
}

void StopEvent::signal() {
  signalled_.store(true);
  if (fd_ >= 0) {
    uint64_t one = 1;
    // A full counter (never reached) or EAGAIN still leaves it readable.
    ssize_t n = ::write(fd_, &one, sizeof one);
    (void)n;
  }
}

WaitOutcome waitForExitOrStop(GameProcess& process, const StopEvent& stop) {
  WaitOutcome outcome;
  if (!process.valid()) return outcome;
  const pid_t pid = process.pid_;
  for (;;) {
    // An exit that has already happened wins over a stop.
    uint32_t code = 0;
    if (process.handle_ < 0 && reap(pid, false, code)) {
      process.reset();
      outcome.end = WaitEnd::Exited;
      outcome.exitCode = code;
      return outcome;
    }
    pollfd fds[2] = {};
    nfds_t count = 0;
    int processSlot = -1;
    if (process.handle_ >= 0) {
      processSlot = static_cast<int>(count);
      fds[count++] = {process.handle_, POLLIN, 0};
    }
    if (stop.fd_ >= 0) fds[count++] = {stop.fd_, POLLIN, 0};
    // Without a process handle or a stop descriptor, poll both by time.
    const int timeout = (process.handle_ >= 0 && stop.fd_ >= 0) ? -1 : pollIntervalMs;
    int n = ::poll(fds, count, timeout);
    if (n < 0 && errno != EINTR) {
      // Should never happen; fall back to polling rather than spin.
      ::usleep(pollIntervalMs * 1000);
    }
    if (processSlot >= 0 && n > 0 && (fds[processSlot].revents & (POLLIN | POLLHUP | POLLERR))) {
      reap(pid, true, code);
      process.reset();
      outcome.end = WaitEnd::Exited;
      outcome.exitCode = code;
      return outcome;
    }
    if (stop.signalled()) {
      outcome.end = WaitEnd::Stopped;
      return outcome;
    }
  }
}

bool ensureExecutable(const fs::path& file, std::string& error) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    error = errnoText(errno);
    return false;
  }
  if (st.st_mode & S_IXUSR) return true;
  const mode_t wanted = (st.st_mode & 07777) | (0755 & ~currentUmask() & 0111) | S_IXUSR;
  if (::chmod(file.c_str(), wanted) != 0) {
    error = errnoText(errno);
    return false;
  }
  return true;
}

}  // namespace launcher
