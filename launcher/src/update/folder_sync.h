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
#include <vector>

namespace launcher {

// The failure of a sync that found another sync of the same folder running.
inline constexpr const char* folderBusyText = "Another update of this folder is running";

// What one run did, for callers that summarise it.
struct SyncReport {
  int32_t filesChanged = 0;      // files assembled and moved into place
  int32_t filesRemoved = 0;      // files the release no longer lists, deleted
  int32_t chunksDownloaded = 0;  // objects fetched from the manifest's store
  uint64_t bytesDownloaded = 0;
  int32_t chunksFoundMoved = 0;  // taken from other offsets of local files instead
  uint64_t bytesFoundMoved = 0;
  bool stoppedAtReview = false;  // the plan's review said stop: nothing was fetched
};

// Why a file is to be rewritten.
enum class PlannedChange {
  Missing,  // no such file in the folder
  Damaged,  // its content is not what the installed release says it is
  Updated,  // the release brings other content than the installed one
};

struct PlannedFile {
  std::string path;  // as the manifest writes it
  uint64_t size = 0;
  PlannedChange change = PlannedChange::Damaged;
};

// What a sync is about to do, known after its check and before it stages or
// fetches anything.
struct SyncPlan {
  std::string version;             // the release synced to
  int32_t build = 0;
  int32_t filesChecked = 0;        // every file of the release
  std::vector<PlannedFile> files;  // those to rewrite, in manifest order
  uint64_t downloadBytes = 0;      // objects found nowhere locally
  int32_t downloadObjects = 0;
};

enum class PlanDecision { Proceed, Stop };
// Sees the plan on the sync's thread; may wait (for a person's answer) as
// long as it watches the sync's cancel flag.
using PlanReview = std::function<PlanDecision(const SyncPlan&)>;

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

// As above; `review` (may be empty) is shown the plan once the files are
// checked, before anything is staged or fetched. Stop ends the run there
// with true and report.stoppedAtReview: the folder is as it was (a staging
// area this run made is removed again), so a check costs no download. A
// cancel seen after the review is "Cancelled" as usual.
[[nodiscard]] bool syncFolder(const std::filesystem::path& root, const GameManifest& manifest, bool verify,
                              const std::atomic<bool>& cancel,
                              const std::function<void(const Progress&)>& progress, std::string& error,
                              SyncReport& report, const PlanReview& review);

// True when an earlier sync of `root` stopped while it was installing: its
// manifest.json may then not describe the files, and the next sync checks
// every file by its digest.
[[nodiscard]] bool installWasInterrupted(const std::filesystem::path& root);

// Reads `length` bytes at `offset`; true only when all of them were read.
[[nodiscard]] bool readRange(const std::filesystem::path& file, uint64_t offset, uint64_t length,
                             std::string& out);

}  // namespace launcher
