#include "platform/linux/posix_helpers.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <system_error>

extern char** environ;

namespace launcher::posix {

namespace {

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

}  // namespace

std::string errnoText(int code) { return std::error_code(code, std::generic_category()).message(); }

bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

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

int spawnChild(const std::vector<std::string>& argv, const ChildOptions& options, pid_t& pid) {
  if (argv.empty() || argv[0].empty()) return EINVAL;
  SpawnSetup setup;
  int rc = posix_spawnattr_init(&setup.attr);
  if (rc != 0) return rc;
  setup.attrReady = true;
  rc = posix_spawn_file_actions_init(&setup.actions);
  if (rc != 0) return rc;
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
  if (rc == 0 && !options.workingFolder.empty()) {
    rc = posix_spawn_file_actions_addchdir_np(&setup.actions, options.workingFolder.c_str());
  }
  // Every descriptor of ours is close-on-exec already; this also covers those
  // a library opened without it.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
  if (rc != 0) return rc;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const bool lookUp = options.searchPath && argv[0].find('/') == std::string::npos;
  return lookUp ? posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ)
                : posix_spawn(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
}

}  // namespace launcher::posix
