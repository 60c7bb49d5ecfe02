// The sync's look for moved content: between the chunk sourcing and the
// download.
#include "base/log.h"
#include "update/moved_chunks.h"
#include "update/moved_sync.h"
#include "update/range_io.h"
#include "update/sync_install.h"
#include "update/sync_run.h"

#include <chrono>
#include <unordered_map>

namespace launcher {

namespace fs = std::filesystem;

bool placeMovedChunks(SyncRun& run) {
  if (run.downloads.empty() || !hasUsableWeakChecksums(run.manifest)) return true;
  MovedSearch search;
  search.chunkSize = run.manifest.chunkSize;
  std::vector<size_t> requestOf;  // by wanted chunk
  std::unordered_map<size_t, size_t> fileOf;  // changed file -> wanted file
  std::vector<std::string> wantedPaths;
  for (size_t r = 0; r < run.downloads.size(); ++r) {
    const auto [changedIndex, chunk] = run.downloadPlace[r];
    const ManifestFile& f = run.manifest.files[run.changed[changedIndex].index];
    if (f.weak.size() != f.chunks.size() || chunk >= f.weak.size()) continue;
    auto [it, added] = fileOf.try_emplace(changedIndex, search.files.size());
    if (added) {
      search.files.push_back({manifestPathKey(f.path), f.size});
      wantedPaths.push_back(f.path);
    }
    const ChunkRequest& request = run.downloads[r];
    search.chunks.push_back({request.hash, request.size, f.weak[chunk], it->second, request.targetOffset});
    requestOf.push_back(r);
  }
  if (search.chunks.empty()) return true;
  std::vector<const GameManifest*> releases;
  if (run.haveInstalled) releases.push_back(&run.installed);
  if (run.interruptedInstall) releases.push_back(&run.interrupted);
  search.local = localFilesFor(run.root, wantedPaths, releases, run.manifest);
  if (search.local.empty()) return true;

  run.record = Progress{};
  run.record.phase = "Searching";
  run.record.filesTotal = static_cast<int32_t>(search.chunks.size());
  run.publish();
  auto lastPublish = std::chrono::steady_clock::now();
  search.progress = [&](uint64_t spent, uint64_t budget) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastPublish < std::chrono::milliseconds(100)) return;
    lastPublish = now;
    run.record.bytesDone = spent;
    run.record.bytesTotal = budget;
    run.publish();
  };

  std::vector<bool> moved(run.downloads.size(), false);
  FileWriter writer;
  std::string writeFailure;
  search.found = [&](size_t c, const ChunkPieces& bytes, const LocalFile&, uint64_t) {
    const size_t r = requestOf[c];
    const ChunkRequest& request = run.downloads[r];
    const ManifestFile& f = run.manifest.files[run.changed[run.downloadPlace[r].first].index];
    bool ok = writer.openExisting(request.target) && writer.seek(request.targetOffset);
    for (const auto& [data, n] : bytes) ok = ok && writer.write(reinterpret_cast<const char*>(data), n);
    if (!writer.finish() || !ok) {
      writeFailure = "Couldn't write " + f.path + " (disk full?)";
      return false;
    }
    moved[r] = true;
    run.changed[run.downloadPlace[r].first].placement[run.downloadPlace[r].second] = Placement::InStaged;
    run.have[request.hash] = {request.target, request.targetOffset};
    ++run.record.filesDone;
    run.publish();
    return true;
  };

  MovedSearchStats stats;
  const bool completed = findMovedChunks(search, &run.cancel, stats);
  // What was written stays: it lies verified in the staged files, where the
  // next run finds it should this one stop now.
  std::vector<ChunkRequest> downloads;
  std::vector<std::pair<size_t, size_t>> places;
  for (size_t r = 0; r < run.downloads.size(); ++r) {
    if (moved[r]) {
      run.downloadSet.erase(run.downloads[r].hash);
      continue;
    }
    downloads.push_back(std::move(run.downloads[r]));
    places.push_back(run.downloadPlace[r]);
  }
  run.downloads = std::move(downloads);
  run.downloadPlace = std::move(places);
  run.report.chunksFoundMoved = static_cast<int32_t>(stats.found);
  run.report.bytesFoundMoved = stats.foundBytes;
  logf("info", "Found {} of {} chunks to download at other places in local files ({:.1f} MB); read {:.1f} MB",
       stats.found, search.chunks.size(), static_cast<double>(stats.foundBytes) / 1e6,
       static_cast<double>(stats.bytesRead) / 1e6);
  if (!completed) {
    if (run.cancelled()) return run.fail("Cancelled");
    if (!writeFailure.empty()) return run.fail(writeFailure);
  }
  return true;
}

}  // namespace launcher
