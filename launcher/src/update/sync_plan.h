// What a folder sync shows its plan review: which files it rewrites and why.
// Sync thread only.
#pragma once

#include "update/folder_sync.h"
#include "update/manifest.h"

#include <cstddef>
#include <filesystem>
#include <vector>

namespace launcher {

// The plan for syncing `root` to `manifest`, given the indexes of the files
// to rewrite (manifest order) and what the download phase would fetch. A
// file that is not there is Missing; one the installed manifest (may be
// null) lists with another digest, or not at all, is Updated; any other is
// Damaged (its bytes are not what the installed release says).
[[nodiscard]] SyncPlan makeSyncPlan(const std::filesystem::path& root, const GameManifest& manifest,
                                    const GameManifest* installed, const std::vector<size_t>& changed,
                                    uint64_t downloadBytes, int32_t downloadObjects);

}  // namespace launcher
