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
  ChunkRequest() = default;
  ChunkRequest(std::string hash, uint64_t size, std::filesystem::path target = {}, uint64_t targetOffset = 0)
      : hash(std::move(hash)), size(size), target(std::move(target)), targetOffset(targetOffset) {}

  std::string hash;
  uint64_t size = 0;
  // When set, the object's bytes go straight to [targetOffset, targetOffset +
  // size) of this existing file (a staged file that needs the chunk there)
  // instead of to the chunks folder; nothing else of the file is touched.
  std::filesystem::path target;
  uint64_t targetOffset = 0;
};

// Pauses between attempts; tests shorten them.
struct RetryDelays {
  int afterFirstMs = 1000;
  int afterSecondMs = 3000;
};

// Downloads every request to chunksFolder / hash, or into its target range.
// An object for the chunks folder is written to "<hash>.part" and renamed to
// "<hash>" only once its digest checks out, so a file bearing a hash name is
// always a verified object; an object written into a target range is verified
// as it is written, and a range that failed is simply not trusted (a later run
// hashes it before use). On success every object lies verified in its place. On failure `error` is "Cancelled" or "Download failed: "
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
