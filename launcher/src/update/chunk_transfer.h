// Fetches a set of content objects into the staging area with four workers,
// every object verified as it is written, from the manifest's place or its
// mirrors. Runs on the calling (sync) thread, which samples progress every
// 100 ms.
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
  // Before an object's second and third attempt at the same place.
  int afterFirstMs = 1000;
  int afterSecondMs = 3000;
  // How long a place (the feed or a mirror) that failed is left to the
  // others before it is tried again: this long after its first failure in a
  // row, doubling with each further one up to 16 times as long. A success
  // there ends it. With one place it changes nothing.
  int placeRestMs = 2000;
  // Before an object that failed a round (every attempt at every place) is
  // given its next one.
  int betweenRoundsMs = 3000;
};

// Downloads every request to chunksFolder / hash, or into its target range.
// An object for the chunks folder is written to "<hash>.part" and renamed to
// "<hash>" only once its digest checks out, so a file bearing a hash name is
// always a verified object; an object written into a target range is verified
// as it is written, and a range that failed is simply not trusted (a later run
// hashes it before use).
//
// Each object comes from the first place of objectLocations() that is not
// resting after a failure (or, when all rest, the one that failed least in a
// row), with three attempts at each place: one round. An object that failed
// a round gets another after a rest (betweenRoundsMs), up to four rounds in
// all, whatever the other objects do; one that failed does not stop the
// others: the workers go on, and the run ends only once every object has
// landed or used up its rounds. The run stops taking objects earlier when
// twelve rounds in a row have failed with no success between them (nothing
// answers), and at once when this machine cannot write an object (a full
// disk stays full).
//
// On success every object lies verified in its place. On failure `error` is
// "Cancelled" or "Download failed: " + the first object given up's last
// cause; every object fetched stays. A cancel stops every worker quietly (no
// warning, no pause, no further attempt) within about a second. `progress`
// (may be empty) receives the "Downloading" record, on the calling thread
// only.
[[nodiscard]] bool fetchChunks(const std::vector<ChunkRequest>& requests, const GameManifest& manifest,
                               const std::filesystem::path& chunksFolder,
                               const std::atomic<bool>& cancel, Progress& record,
                               const std::function<void(const Progress&)>& progress,
                               std::string& error, const RetryDelays& delays = {});

}  // namespace launcher
