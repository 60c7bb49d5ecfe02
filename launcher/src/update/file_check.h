// The first phase of a folder sync: which of a manifest's files must be
// rewritten. Runs on the sync thread; with `verify` it hashes on two helper
// threads that it starts and joins.
#pragma once

#include "base/progress.h"
#include "update/manifest.h"

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace launcher {

// Fills `changed` with the indexes, in manifest order, of the files whose
// size differs from the manifest's or, with `verify`, whose digest does, or,
// without it, that `installed` (may be null) does not list with the same path
// and digest. `record` is reset to "Checking files" (verify) or "Comparing"
// and `progress` (may be empty) is called on this thread only. False with
// "Cancelled" when `cancel` is seen.
[[nodiscard]] bool findChangedFiles(const std::filesystem::path& root, const GameManifest& manifest,
                                    const GameManifest* installed, bool verify,
                                    const std::atomic<bool>& cancel, Progress& record,
                                    const std::function<void(const Progress&)>& progress,
                                    std::vector<size_t>& changed, std::string& error);

}  // namespace launcher
