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

// Manifests carry no file mode, so a synced or copied game lacks its execute
// bits. When the owner may not execute `file`, gives it the execute bits its
// read bits allow, less the process's umask (with umask 022, 0644 becomes
// 0755 and 0600 becomes 0700); the owner always gets one. A file the owner
// may execute already is left as it is. Nothing on systems without such
// bits. False, with the system's text, when the mode cannot be read or set.
// Any thread.
[[nodiscard]] bool makeExecutable(const std::filesystem::path& file, std::string& error);

// Writes to a closed pipe or socket fail with an error instead of ending the
// process (SIGPIPE ignored). Once, at start-up.
void ignoreBrokenPipeSignal();

// The memory allocator keeps at most `pools` pools for all threads (glibc
// gives each new thread a pool of its own, up to eight per core, and what a
// pool once held stays mapped: a sync's short-lived download and hashing
// threads left megabytes resident). The launcher's threads allocate little
// once started (their buffers are reused), so sharing costs no speed. Once,
// at start-up, before any thread; nothing on systems whose allocator does not
// work so.
void limitMemoryPools(int pools);

// Becomes argv[0] (a path) with these arguments, keeping this process's
// identity, standard streams and environment: a packaged launcher hands over
// to the player's own copy so. Start-up only, before any thread or lock.
// Returns only on failure, with the system's text in `error`.
[[nodiscard]] bool replaceProcess(const std::vector<std::string>& argv, std::string& error);

}  // namespace launcher
