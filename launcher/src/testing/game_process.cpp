#include "testing/game_process.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <system_error>
#include <thread>

namespace launcher::testing {

namespace fs = std::filesystem;

namespace {

std::string errnoText(int code) { return std::error_code(code, std::generic_category()).message(); }

}  // namespace

void installStandInGame(const fs::path& fakegame, const fs::path& gameFolder, ExecBits bits) {
  std::error_code ec;
  fs::create_directories(gameFolder, ec);
  ASSERT_FALSE(ec) << ec.message();
  const fs::path exe = gameFolder / "Vantor";
  fs::copy_file(fakegame, exe, fs::copy_options::overwrite_existing, ec);
  ASSERT_FALSE(ec) << "copying " << fakegame << ": " << ec.message();
  fs::permissions(exe, bits == ExecBits::Present ? fs::perms(0755) : fs::perms(0644), ec);
  ASSERT_FALSE(ec) << ec.message();
}

nlohmann::json waitForGameRecord(const fs::path& logsFolder, int pid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const fs::path file = logsFolder / "fakegame.json";
  for (;;) {
    std::ifstream in(file, std::ios::binary);
    if (in) {
      nlohmann::json record = nlohmann::json::parse(in, nullptr, false);
      if (record.is_object() && record.value("pid", -1L) == pid) return record;
    }
    if (std::chrono::steady_clock::now() > deadline) return nlohmann::json(nlohmann::json::value_t::discarded);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool processExists(int pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

int reapChild(int pid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (r < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

InheritableDescriptors::InheritableDescriptors() {
  file_ = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  socket_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (file_ < 0 || socket_ < 0) ADD_FAILURE() << "could not open the test descriptors: " << errnoText(errno);
}

InheritableDescriptors::~InheritableDescriptors() {
  if (file_ >= 0) ::close(file_);
  if (socket_ >= 0) ::close(socket_);
}

struct ScopedSignalState::Saved {
  struct sigaction interrupt {};
  sigset_t mask;
};

ScopedSignalState::ScopedSignalState() : saved_(new Saved) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGINT, &ignore, &saved_->interrupt);
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &block, &saved_->mask);
}

ScopedSignalState::~ScopedSignalState() {
  ::sigaction(SIGINT, &saved_->interrupt, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &saved_->mask, nullptr);
  delete saved_;
}

ScopedImmutable::ScopedImmutable(fs::path file) : file_(std::move(file)) {
  if (::geteuid() != 0) {
    skipReason_ = "needs root to make a file immutable (run the tests as root to cover failing deletions)";
    return;
  }
  int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    skipReason_ = "can't open " + file_.string() + ": " + errnoText(errno);
    return;
  }
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
    flags |= FS_IMMUTABLE_FL;
    ok_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  if (!ok_) skipReason_ = "this file system has no immutable flag: " + errnoText(errno);
  ::close(fd);
}

ScopedImmutable::~ScopedImmutable() {
  if (!ok_) return;
  int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
    flags &= ~FS_IMMUTABLE_FL;
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  ::close(fd);
}

}  // namespace launcher::testing
