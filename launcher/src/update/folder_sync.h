// Brings a folder to exactly a manifest's content: fetches only chunks found
// nowhere locally, assembles and verifies every changed file in ".staging",
// and touches installed files only after all of them check out. Any stop
// leaves what is needed to resume cheaply. Runs on the job worker thread.
#pragma once

#include "base/progress.h"
#include "update/manifest.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>

namespace launcher {

// What one run did, for callers that summarise it.
struct SyncReport {
  int32_t filesChanged = 0;      // files assembled and moved into place
  int32_t filesRemoved = 0;      // files the release no longer lists, deleted
  int32_t chunksDownloaded = 0;  // objects fetched from the manifest's store
  uint64_t bytesDownloaded = 0;
};

// With `verify` (repair) every file is hashed; otherwise the installed
// manifest.json is trusted for files of the right size, except after an
// install that stopped half-way, when every file is hashed. `cancel` is polled
// throughout ("Cancelled"), within about a second even while a server is
// silent or a large object is hashed. `progress` (may be empty) is called on
// the calling thread only. On success `error` is untouched. Fetched chunks go
// straight to their place in the staged files; installed files are touched
// only after every changed file has been assembled and verified whole in
// root/.staging, and never while the game runs; any failure keeps ".staging"
// so that the next run resumes cheaply, fetching nothing that lies verified
// there. One sync per folder at a time: another run of the same folder, in
// this process or another, fails at once with "Another update of this folder
// is running". Runs on the job worker thread; starts and joins its own helper
// threads, and fails with a text when the system refuses one.
[[nodiscard]] bool syncFolder(const std::filesystem::path& root, const GameManifest& manifest, bool verify,
                              const std::atomic<bool>& cancel,
                              const std::function<void(const Progress&)>& progress, std::string& error);

// As above, and fills `report` (also on failure, as far as the run got).
[[nodiscard]] bool syncFolder(const std::filesystem::path& root, const GameManifest& manifest, bool verify,
                              const std::atomic<bool>& cancel,
                              const std::function<void(const Progress&)>& progress, std::string& error,
                              SyncReport& report);

// True when an earlier sync of `root` stopped while it was installing: its
// manifest.json may then not describe the files, and the next sync checks
// every file by its digest.
[[nodiscard]] bool installWasInterrupted(const std::filesystem::path& root);

// Reads `length` bytes at `offset`; true only when all of them were read.
[[nodiscard]] bool readRange(const std::filesystem::path& file, uint64_t offset, uint64_t length,
                             std::string& out);

}  // namespace launcher
