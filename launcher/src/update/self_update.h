// The launcher replacing its own executable with the build the feed names:
// downloaded beside it as ".new" (read no further than the feed's "size"),
// verified and flushed to disk, then renamed over the executable in one step
// while the running build keeps the name ".old" (removed by the next start).
// At every moment the executable's path names one whole build.
#pragma once

#include "base/progress.h"
#include "update/feed.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>

namespace launcher {

// `executable` is the launcher's path as read once at start-up. Downloads,
// verifies and installs; on failure `error` holds the user's text
// ("Cancelled" only after `cancel`), a runnable executable stays under its
// own name and no ".new" is left. A build longer than the feed's "size"
// (when it gives one; a verified feed must) fails its checksum as soon as it
// is longer. Job worker thread.
[[nodiscard]] bool updateLauncher(const Feed& feed, const std::filesystem::path& executable,
                                  const std::atomic<bool>& cancel,
                                  const std::function<void(const Progress&)>& progress, std::string& error);

// The executable's path with `suffix` appended to its name (".new", ".old").
[[nodiscard]] std::filesystem::path siblingPath(const std::filesystem::path& executable, const char* suffix);

}  // namespace launcher
