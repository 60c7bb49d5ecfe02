// The working state of one folder sync, shared by the files that hold its
// phases. Internal to the sync; the sync thread only.
#pragma once

#include "base/progress.h"
#include "platform/platform.h"
#include "update/chunk_transfer.h"
#include "update/folder_sync.h"
#include "update/location.h"
#include "update/manifest.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace launcher {

using ProgressFn = std::function<void(const Progress&)>;

// Where the bytes of a chunk can be read.
struct ChunkSource {
  std::filesystem::path file;
  uint64_t offset = 0;
};

// How one chunk position of a changed file gets into its staged file.
enum class Placement : uint8_t {
  Copy,      // copied during assembly from "have"
  InStaged,  // already there, verified: left by an earlier run, or found moved
  Download,  // written there by the download, verified as it arrives
};

struct ChangedFile {
  size_t index = 0;  // in manifest.files
  std::vector<Placement> placement;  // by chunk
};

// One run's working state.
struct SyncRun {
  const std::filesystem::path& root;
  const GameManifest& manifest;
  const std::atomic<bool>& cancel;
  const ProgressFn& progress;
  SyncReport& report;
  const PlanReview& review;
  std::string error;  // handed to the caller only on failure

  SyncRun(const std::filesystem::path& root, const GameManifest& manifest, const std::atomic<bool>& cancel,
          const ProgressFn& progress, SyncReport& report, const PlanReview& review)
      : root(root), manifest(manifest), cancel(cancel), progress(progress), report(report), review(review) {}

  std::filesystem::path staging;
  std::filesystem::path chunksFolder;
  std::filesystem::path filesFolder;
  bool stagingExisted = false;  // an earlier run left a staging area
  FileLock lock;
  Progress record;
  bool haveInstalled = false;
  GameManifest installed;
  bool interruptedInstall = false;  // an earlier run stopped while installing
  GameManifest interrupted;         // what that run was installing, when readable
  std::vector<ChangedFile> changed;  // in manifest order
  std::unordered_map<std::string, ChunkSource> installedSources;  // by chunk hash
  std::unordered_map<std::string, ChunkSource> have;              // by chunk hash
  std::vector<ChunkRequest> downloads;
  std::vector<std::pair<size_t, size_t>> downloadPlace;  // by download: changed file and chunk
  std::unordered_set<std::string> downloadSet;

  void publish() {
    if (progress) progress(record);
  }
  bool fail(std::string text) {
    error = std::move(text);
    return false;
  }
  bool cancelled() const { return cancel.load(); }
  std::filesystem::path target(const ManifestFile& f) const { return root / toWide(f.path); }
  std::filesystem::path staged(const ManifestFile& f) const { return filesFolder / toWide(f.path); }
};

// Looks for the chunks still to download at other offsets of the local
// files (moved content), confirms each with SHA-256 and writes it straight to
// its place in the staged file, as the download would; those leave the
// download list. After the staged files are prepared, before the download.
[[nodiscard]] bool placeMovedChunks(SyncRun& run);

}  // namespace launcher
