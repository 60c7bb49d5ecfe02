// The launcher replacing its own executable with the build the feed names:
// downloaded beside it as ".new", verified, then swapped in by two renames
// that keep the running image as ".old" (removed by the next start).
#pragma once

#include "base/progress.h"
#include "update/feed.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>

namespace launcher {

// `executable` is the launcher's path as read once at start-up (after the
// first rename the system names the running image by its ".old" path).
// Downloads, verifies and installs; on failure `error` holds the user's text
// ("Cancelled" only after `cancel`) and a runnable executable stays under
// its own name. Job worker thread.
[[nodiscard]] bool updateLauncher(const Feed& feed, const std::filesystem::path& executable,
                                  const std::atomic<bool>& cancel,
                                  const std::function<void(const Progress&)>& progress, std::string& error);

// The executable's path with `suffix` appended to its name (".new", ".old").
[[nodiscard]] std::filesystem::path siblingPath(const std::filesystem::path& executable, const char* suffix);

}  // namespace launcher
