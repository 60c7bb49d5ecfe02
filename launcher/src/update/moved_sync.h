// What the sync and the update check hand the moved-chunk search: the local
// files it may read, and the estimate of an update's download that counts
// the chunks it would find moved.
#pragma once

#include "update/manifest.h"
#include "update/moved_chunks.h"

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher {

// True when `m` carries weak checksums this launcher can roll for.
[[nodiscard]] bool hasUsableWeakChecksums(const GameManifest& m);

// The files under `root` a search may read, each once: first the file at the
// path of each of `wanted` (its old version), then every file `releases`
// list (the installed release, an interrupted install's). Regular files only,
// never followed through a link, so that nothing can make the search wait
// on a device or a pipe. A file `next` does not list is marked dropped.
[[nodiscard]] std::vector<LocalFile> localFilesFor(const std::filesystem::path& root,
                                                   const std::vector<std::string>& wantedPaths,
                                                   const std::vector<const GameManifest*>& releases,
                                                   const GameManifest& next);

// estimateDownload, less the chunks that a search of the installed files
// finds moved (read-only; the same budget as the sync's). `cancel` (may be
// null) ends the search early; the estimate then counts what was found by
// then. Any thread.
[[nodiscard]] uint64_t estimateDownloadReusing(const std::filesystem::path& folder, const GameManifest& m,
                                               const std::atomic<bool>* cancel);

}  // namespace launcher
