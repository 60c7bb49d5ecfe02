#include "testing/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

extern char** environ;

namespace launcher::testing {

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int signalNumber(Signal s) {
  switch (s) {
    case Signal::Interrupt:
      return SIGINT;
    case Signal::Terminate:
      return SIGTERM;
    case Signal::Kill:
      return SIGKILL;
  }
  return SIGKILL;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv) : argv_(std::move(argv)) {
  if (argv_.empty()) {
    error_ = "no command";
    return;
  }
  std::random_device rd;
  std::error_code ec;
  for (int attempt = 0; attempt < 100 && folder_.empty(); ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("vantor-proc-" + std::to_string(rd()));
    if (fs::create_directory(candidate, ec)) folder_ = candidate.string();
  }
  if (folder_.empty()) {
    error_ = "could not create a folder for the output";
    return;
  }
  const std::string outFile = folder_ + "/stdout";
  const std::string errFile = folder_ + "/stderr";
  std::vector<char*> args;
  for (auto& a : argv_) args.push_back(a.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The test runner may have blocked or ignored signals the child relies on.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    error_ = "could not start " + argv_[0] + ": " + std::strerror(rc);
    return;
  }
  pid_ = pid;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && running()) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  std::error_code ec;
  if (!folder_.empty()) fs::remove_all(folder_, ec);
}

bool ChildProcess::reap(bool block) {
  if (pid_ <= 0) return exited_;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != pid_) return false;
  exited_ = true;
  pid_ = -1;
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
  return true;
}

void ChildProcess::sendSignal(Signal signal) {
  if (pid_ > 0) ::kill(pid_, signalNumber(signal));
}

bool ChildProcess::stop() {
  if (pid_ <= 0) return false;
  ::kill(pid_, SIGSTOP);
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WUNTRACED);
    if (r < 0 && errno == EINTR) continue;
    if (r != pid_) return false;
    if (WIFSTOPPED(status)) return true;
    exited_ = true;
    pid_ = -1;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
    return false;
  }
}

void ChildProcess::resume() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

bool ChildProcess::running() { return pid_ > 0 && !reap(false); }

int ChildProcess::wait(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pid_ > 0) {
    if (reap(false)) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      reap(true);
      exitCode_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return exitCode_;
}

std::string ChildProcess::out() const { return folder_.empty() ? "" : slurp(folder_ + "/stdout"); }
std::string ChildProcess::err() const { return folder_.empty() ? "" : slurp(folder_ + "/stderr"); }

ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutMs) {
  ChildProcess child(argv);
  ProcessResult r;
  if (!child.started()) {
    r.err = child.error();
    return r;
  }
  r.exitCode = child.wait(timeoutMs);
  r.out = child.out();
  r.err = child.err();
  return r;
}

std::string describe(const ProcessResult& r) {
  auto tail = [](const std::string& s) { return s.size() > 4000 ? "..." + s.substr(s.size() - 4000) : s; };
  return "exit " + std::to_string(r.exitCode) + "\n--- stdout\n" + tail(r.out) + "\n--- stderr\n" + tail(r.err);
}

}  // namespace launcher::testing
