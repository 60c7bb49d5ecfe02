#include "testing/launcher_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

extern char** environ;

namespace launcher::testing {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

LauncherProcess::LauncherProcess(std::vector<std::string> argv, const std::map<std::string, std::string>& env) {
  // A write to a launcher that has gone must fail, not end the test.
  ::signal(SIGPIPE, SIG_IGN);
  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return;
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return;
  }
  std::random_device rd;
  errFile_ = (fs::temp_directory_path() / ("vantor-launcher-err-" + std::to_string(rd()))).string();

  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  vars["VANTOR_HEADLESS_PAGE"] = "stdio";
  for (const auto& [k, v] : env) vars[k] = v;
  std::vector<std::string> envText;
  for (const auto& [k, v] : vars) envText.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
  if (rc != 0) {
    closeInput();
    ::close(out_);
    out_ = -1;
    return;
  }
  pid_ = pid;
}

LauncherProcess::~LauncherProcess() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  closeInput();
  if (out_ >= 0) ::close(out_);
  if (!errFile_.empty()) ::unlink(errFile_.c_str());
}

bool LauncherProcess::send(const json& command) {
  if (in_ < 0) return false;
  std::string line = command.dump() + "\n";
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(in_, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // EPIPE: nobody reads any more
    data += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

void LauncherProcess::closeInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

bool LauncherProcess::readSome(int timeoutMs) {
  if (out_ < 0 || outputEnded_) return false;
  pollfd p{out_, POLLIN, 0};
  const int ready = ::poll(&p, 1, timeoutMs);
  if (ready <= 0) return false;
  char block[65536];
  const ssize_t n = ::read(out_, block, sizeof block);
  if (n <= 0) {
    if (n < 0 && errno == EINTR) return true;
    outputEnded_ = true;
    return false;
  }
  buffer_.append(block, static_cast<size_t>(n));
  for (size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
    messages_.push_back(json::parse(buffer_.substr(0, end), nullptr, false));
    buffer_.erase(0, end + 1);
  }
  return true;
}

json LauncherProcess::waitFor(const std::function<bool(const json&)>& match, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t seen = 0;
  for (;;) {
    for (; seen < messages_.size(); ++seen) {
      if (match(messages_[seen])) return messages_[seen];
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || outputEnded_) return nullptr;
    readSome(static_cast<int>(std::min<long long>(left, 200)));
  }
}

bool LauncherProcess::waitForOutputEnd(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!outputEnded_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    readSome(static_cast<int>(std::min<long long>(left, 200)));
  }
  return true;
}

void LauncherProcess::terminate() {
  if (pid_ > 0 && !exited_) ::kill(pid_, SIGTERM);
}

void LauncherProcess::kill() {
  if (pid_ > 0 && !exited_) ::kill(pid_, SIGKILL);
}

bool LauncherProcess::reap(bool block) {
  if (pid_ <= 0 || exited_) return exited_;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == pid_) {
    exited_ = true;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return exited_;
}

bool LauncherProcess::running() { return pid_ > 0 && !reap(false); }

int LauncherProcess::wait(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!reap(false)) {
    if (Clock::now() > deadline) return -1;
    // Keep its output flowing: a full pipe would stall it.
    if (!readSome(10)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return exitCode_;
}

std::string LauncherProcess::err() const {
  std::ifstream in(errFile_, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool isState(const json& m) { return m.is_object() && m.value("type", "") == "state"; }

bool hasGameStatus(const json& m, const std::string& status) {
  return isState(m) && m.contains("game") && m["game"].value("status", "") == status;
}

bool isToast(const json& m, const std::string& text) {
  return m.is_object() && m.value("type", "") == "toast" && m.value("text", "") == text;
}

}  // namespace launcher::testing
