// Linux: posix_spawn, a pidfd for the process's end and an eventfd as the stop
// event.
#include "platform/game_process.h"

#include "platform/linux/posix_helpers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr int pollIntervalMs = 200;

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

}  // namespace

void GameProcess::reset() {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
  pid_ = -1;
}

bool startGameProcess(const std::vector<std::string>& argv, const fs::path& workingFolder, GameProcess& process,
                      int& errorCode, std::string& error) {
  process.reset();
  posix::ChildOptions options;
  options.workingFolder = workingFolder;
  options.newSession = true;  // so the game outlives the launcher's session
  pid_t pid = -1;
  const int rc = posix::spawnChild(argv, options, pid);
  if (rc != 0) {
    errorCode = rc;
    error = posix::errnoText(rc);
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
      fds[count++] = {static_cast<int>(process.handle_), POLLIN, 0};
    }
    if (stop.fd_ >= 0) fds[count++] = {static_cast<int>(stop.fd_), POLLIN, 0};
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

}  // namespace launcher
