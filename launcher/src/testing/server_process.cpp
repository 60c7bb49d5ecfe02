#include "testing/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace launcher::testing {

int startServerProcess(const ServerLaunch& launch, std::string& error) {
  if (launch.argv.empty()) {
    error = "nothing to start";
    return -1;
  }
  // Everything the child needs is made before the fork: it may only make
  // async-signal-safe calls.
  std::vector<std::string> args = launch.argv;
  std::vector<std::string> env = launch.env;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* const* environment = env.empty() ? environ : envp.data();
  const std::string folder = launch.folder.string();
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = ::open(launch.output.c_str(),
                         O_WRONLY | O_CREAT | O_CLOEXEC | (launch.appendOutput ? O_APPEND : O_TRUNC), 0644);
  if (devNull < 0 || out < 0) {
    error = "could not open " + launch.output.string();
    if (devNull >= 0) ::close(devNull);
    if (out >= 0) ::close(out);
    return -1;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);  // the test died before the line above
    // The test runner's blocked or ignored signals must not reach a server
    // that stops on SIGTERM.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) ::sigaction(sig, &dfl, nullptr);
    if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(127);
    ::dup2(devNull, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execve(argv[0], argv.data(), environment);
    ::_exit(127);
  }
  const int forkErrno = errno;
  ::close(devNull);
  ::close(out);
  if (pid < 0) {
    error = "could not start " + launch.argv[0] + ": " + std::string(std::strerror(forkErrno));
    return -1;
  }
  return pid;
}

void stopServerProcess(int pid, std::chrono::milliseconds grace) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  bool reaped = false;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      reaped = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(-pid, SIGKILL);
  if (!reaped) {
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
}

}  // namespace launcher::testing
