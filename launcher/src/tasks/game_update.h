// The body of the game's install, update and repair job: the feed, the
// release manifest, the disk-space check, and the folder sync. Runs on the
// job worker; publishing the result is the caller's.
#pragma once

#include "base/progress.h"
#include "update/feed.h"
#include "update/manifest.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace launcher {

// What one run needs, copied from the application under its mutex.
struct GameUpdateRequest {
  std::filesystem::path launcherFolder;
  std::filesystem::path gameFolder;
  std::string channel;
  bool repair = false;  // hash every file
};

struct GameUpdateResult {
  Feed feed;              // the latest.json this run used
  GameManifest manifest;  // the release it installed
};

// The bytes that must be free before the sync starts: what assembly writes
// (every changed file, whole) on top of the download, never less than twice
// the download, plus 256 MiB of room. Saturates instead of overflowing.
[[nodiscard]] uint64_t diskSpaceNeeded(uint64_t downloadEstimate, uint64_t assembledBytes);

// "Not enough disk space: {:.1f} GB more needed".
[[nodiscard]] std::string notEnoughSpaceText(uint64_t need, uint64_t free);

// Sizes of the files a sync of `folder` to `m` will assemble, as far as the
// installed manifest and the file sizes tell (a repair may find more). After
// an install that stopped half-way the installed manifest may not describe
// the files, so then every file of the right size is hashed, as the sync
// will; `cancel` ends that early (the result then counts every file).
[[nodiscard]] uint64_t bytesToAssemble(const std::filesystem::path& folder, const GameManifest& m);
[[nodiscard]] uint64_t bytesToAssemble(const std::filesystem::path& folder, const GameManifest& m,
                                       const std::atomic<bool>& cancel);

// Fetches latest.json and the manifest, checks the space, syncs. Returns ""
// on success (with `result` filled and the game's executable made
// executable), else the user's text; "Cancelled" only when `cancel` was set.
[[nodiscard]] std::string runGameUpdate(const GameUpdateRequest& request, const std::atomic<bool>& cancel,
                                        const std::function<void(const Progress&)>& progress,
                                        GameUpdateResult& result);

}  // namespace launcher
