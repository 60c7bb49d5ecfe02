// Starting other programs: the uninstaller, the file manager or browser, and
// the launcher itself after an update. Every child starts with only the
// standard streams (nothing else of ours is inherited: not the instance lock,
// the activation socket or a transfer's socket), default signal handlers and
// an empty signal mask. Any thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace launcher {

struct SpawnOptions {
  // Working folder of the child; empty keeps ours.
  std::filesystem::path workingFolder;
  // The child gets a session of its own, so it outlives the launcher's.
  bool newSession = false;
};

// Starts argv[0] (a path, or a name looked up in PATH when it holds no "/")
// with the rest as its arguments and this process's environment, and returns
// without waiting for it; a helper thread reaps it when it ends. False, with
// the system's reason in `error`, when it cannot be started.
[[nodiscard]] bool spawnDetached(const std::vector<std::string>& argv, const SpawnOptions& options,
                                 std::string& error);

// Opens a folder in the file manager or an https address in the browser
// ("xdg-open" on Linux), detached. False when the opener cannot be started.
[[nodiscard]] bool openWithSystem(const std::string& target, std::string& error);

// Gives a file the execute bits wherever it has read bits (0644 becomes
// 0755, 0600 becomes 0700: 0755 less the umask the file was written with).
// Nothing on systems without such bits. False when the mode cannot be set.
[[nodiscard]] bool makeExecutable(const std::filesystem::path& file);

// Writes to a closed pipe or socket fail with an error instead of ending the
// process (SIGPIPE ignored). Once, at start-up.
void ignoreBrokenPipeSignal();

}  // namespace launcher
