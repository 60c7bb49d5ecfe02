// Brings a folder to exactly a manifest's content: fetches only chunks found
// nowhere locally, assembles and verifies every changed file in ".staging",
// and touches installed files only after all of them check out. Any stop
// leaves what is needed to resume cheaply. Runs on the job worker thread.
#pragma once

#include "tasks/progress.h"
#include "update/manifest.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>

namespace launcher {

// With `verify` (repair) every file is hashed; otherwise the installed
// manifest.json is trusted for files of the right size. `cancel` is polled
// throughout ("Cancelled"). On success `error` is untouched.
[[nodiscard]] bool syncFolder(const std::filesystem::path& root, const GameManifest& manifest, bool verify,
                              const std::atomic<bool>& cancel,
                              const std::function<void(const Progress&)>& progress, std::string& error);

// Reads `length` bytes at `offset`; true only when all of them were read.
[[nodiscard]] bool readRange(const std::filesystem::path& file, uint64_t offset, uint64_t length,
                             std::string& out);

}  // namespace launcher
