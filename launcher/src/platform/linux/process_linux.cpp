// Children through posix_spawn: only the standard streams inherited, default
// signal handlers, an empty mask; reaped by a helper thread of their own.
#include "platform/process.h"

#include "platform/linux/posix_helpers.h"

#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>

namespace launcher {

namespace fs = std::filesystem;

namespace {

void reapLater(pid_t pid) {
  try {
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the child stays a zombie until we exit, which
    // costs a process-table entry and nothing else.
  }
}

}  // namespace

bool spawnDetached(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error) {
  if (argv.empty() || argv[0].empty()) {
    error = "Nothing to start";
    return false;
  }
  posix::ChildOptions child;
  child.workingFolder = options.workingFolder;
  child.newSession = options.newSession;
  child.searchPath = true;
  pid_t pid = -1;
  const int rc = posix::spawnChild(argv, child, pid);
  if (rc != 0) {
    error = "Couldn't start " + argv[0] + ": " + posix::errnoText(rc);
    return false;
  }
  reapLater(pid);
  return true;
}

bool openWithSystem(const std::string& target, std::string& error) {
  return spawnDetached({"xdg-open", target}, SpawnOptions{}, error);
}

void ignoreBrokenPipeSignal() { ::signal(SIGPIPE, SIG_IGN); }

void limitMemoryPools(int pools) {
  // MALLOC_ARENA_MAX, when the user set it, wins.
  if (::getenv("MALLOC_ARENA_MAX") == nullptr && pools > 0) ::mallopt(M_ARENA_MAX, pools);
}

bool replaceProcess(const std::vector<std::string>& argv, std::string& error) {
  if (argv.empty() || argv[0].empty()) {
    error = "Nothing to start";
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The new image starts with default handlers (SIGPIPE is ignored here and
  // would stay ignored) and the signal mask it finds.
  ::signal(SIGPIPE, SIG_DFL);
  ::execv(argv[0].c_str(), args.data());
  error = "Couldn't start " + argv[0] + ": " + posix::errnoText(errno);
  ::signal(SIGPIPE, SIG_IGN);
  return false;
}

bool makeExecutable(const fs::path& file, std::string& error) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    error = posix::errnoText(errno);
    return false;
  }
  if (st.st_mode & S_IXUSR) return true;
  mode_t mode = st.st_mode & 07777;
  // Execute where reading is allowed, as the umask allows it; the owner always.
  const mode_t readable = mode & (S_IRUSR | S_IRGRP | S_IROTH);
  mode |= ((readable >> 2) & ~posix::currentUmask()) | S_IXUSR;
  if (::chmod(file.c_str(), mode) != 0) {
    error = posix::errnoText(errno);
    return false;
  }
  return true;
}

}  // namespace launcher
