// Small pieces the Linux implementation files share: error texts, complete
// writes, the umask, and starting a child with nothing of ours but the
// standard streams. Internal to platform/linux/.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher::posix {

// The system's text for an errno value.
[[nodiscard]] std::string errnoText(int code);

// Writes the whole buffer, retrying short writes and interrupted calls. False
// with errno set on failure.
[[nodiscard]] bool writeAll(int fd, const char* data, size_t length);

// The process's umask, read without changing it (umask(2) would, for a
// moment, for every thread).
[[nodiscard]] mode_t currentUmask();

struct ChildOptions {
  std::filesystem::path workingFolder;  // empty: ours
  bool newSession = false;              // a session of its own, so it outlives ours
  bool searchPath = false;              // argv[0] without "/" is looked up in PATH
};

// posix_spawn of argv with this process's environment, default handlers for
// every signal, an empty signal mask and no descriptor beyond 0-2. 0 with
// `pid` set, or the error number; nothing was started then. Any thread.
[[nodiscard]] int spawnChild(const std::vector<std::string>& argv, const ChildOptions& options, pid_t& pid);

}  // namespace launcher::posix
