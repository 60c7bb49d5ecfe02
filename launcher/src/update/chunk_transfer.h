// Fetches a set of content objects into the staging area with four workers,
// three attempts each, every object verified as it is written. Runs on the
// calling (sync) thread, which samples progress every 100 ms.
#pragma once

#include "base/progress.h"
#include "update/manifest.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace launcher {

struct ChunkRequest {
  std::string hash;
  uint64_t size = 0;
};

// Pauses between attempts; tests shorten them.
struct RetryDelays {
  int afterFirstMs = 1000;
  int afterSecondMs = 3000;
};

// Downloads every request to chunksFolder / hash. Each object is written to
// "<hash>.part" and renamed to "<hash>" only once its digest checks out, so a
// file bearing a hash name is always a verified object. On success every
// object lies there. On failure `error` is "Cancelled" or "Download failed: "
// + the first failing object's last cause; objects already fetched stay. A
// cancel, or the first failure, stops the other workers quietly (no warning,
// no pause, no further attempt). `progress` (may be empty) receives the
// "Downloading" record, on the calling thread only.
[[nodiscard]] bool fetchChunks(const std::vector<ChunkRequest>& requests, const GameManifest& manifest,
                               const std::filesystem::path& chunksFolder,
                               const std::atomic<bool>& cancel, Progress& record,
                               const std::function<void(const Progress&)>& progress,
                               std::string& error, const RetryDelays& delays = {});

}  // namespace launcher
