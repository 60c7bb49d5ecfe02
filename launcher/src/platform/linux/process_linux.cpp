// Children through posix_spawn: only the standard streams inherited, default
// signal handlers, an empty mask; reaped by a helper thread of their own.
#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

extern char** environ;

namespace launcher {

namespace fs = std::filesystem;

namespace {

std::string errnoText(int code) { return std::error_code(code, std::generic_category()).message(); }

// posix_spawn attributes and file actions, destroyed however we leave.
struct SpawnSetup {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  bool attrReady = false;
  bool actionsReady = false;
  ~SpawnSetup() {
    if (attrReady) posix_spawnattr_destroy(&attr);
    if (actionsReady) posix_spawn_file_actions_destroy(&actions);
  }
};

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
  SpawnSetup setup;
  int rc = posix_spawnattr_init(&setup.attr);
  if (rc == 0) {
    setup.attrReady = true;
    rc = posix_spawn_file_actions_init(&setup.actions);
  }
  if (rc == 0) {
    setup.actionsReady = true;
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (options.newSession) flags |= POSIX_SPAWN_SETSID;
    rc = posix_spawnattr_setflags(&setup.attr, flags);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attr, &all);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.attr, &none);
  }
  if (rc == 0 && !options.workingFolder.empty()) {
    rc = posix_spawn_file_actions_addchdir_np(&setup.actions, options.workingFolder.c_str());
  }
  // Descriptors are close-on-exec already; this also covers any a library
  // opened without the flag.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
  if (rc != 0) {
    error = errnoText(rc);
    return false;
  }
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const bool searchPath = argv[0].find('/') == std::string::npos;
  rc = searchPath ? posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ)
                  : posix_spawn(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
  if (rc != 0) {
    error = "Couldn't start " + argv[0] + ": " + errnoText(rc);
    return false;
  }
  reapLater(pid);
  return true;
}

bool openWithSystem(const std::string& target, std::string& error) {
  return spawnDetached({"xdg-open", target}, SpawnOptions{}, error);
}

void ignoreBrokenPipeSignal() { ::signal(SIGPIPE, SIG_IGN); }

bool makeExecutable(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  if (mode & S_IRUSR) mode |= S_IXUSR;
  if (mode & S_IRGRP) mode |= S_IXGRP;
  if (mode & S_IROTH) mode |= S_IXOTH;
  return ::chmod(file.c_str(), mode) == 0;
}

}  // namespace launcher
