#include "update/moved_sync.h"

#include "update/location.h"
#include "update/sync_install.h"
#include "update/weak_checksum.h"

#include <system_error>
#include <unordered_map>
#include <unordered_set>

namespace launcher {

namespace fs = std::filesystem;

bool hasUsableWeakChecksums(const GameManifest& m) {
  if (m.weakKind != weakChecksumKind || m.chunkSize > movedSearchMaxChunkSize) return false;
  for (const ManifestFile& f : m.files) {
    if (!f.weak.empty()) return true;
  }
  return false;
}

std::vector<LocalFile> localFilesFor(const fs::path& root, const std::vector<std::string>& wantedPaths,
                                     const std::vector<const GameManifest*>& releases, const GameManifest& next) {
  std::unordered_set<std::string> listed;
  for (const ManifestFile& f : next.files) listed.insert(manifestPathKey(f.path));
  std::vector<LocalFile> out;
  std::unordered_set<std::string> seen;
  auto add = [&](const std::string& path) {
    if (!isSafeManifestPath(path)) return;
    std::string key = manifestPathKey(path);
    if (!seen.insert(key).second) return;
    const fs::path file = root / toWide(path);
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(file, ec))) return;
    const uint64_t size = fs::file_size(file, ec);
    if (ec) return;
    const bool dropped = listed.count(key) == 0;
    out.push_back({file, std::move(key), size, dropped});
  };
  for (const std::string& path : wantedPaths) add(path);
  for (const GameManifest* release : releases) {
    for (const ManifestFile& f : release->files) add(f.path);
  }
  return out;
}

uint64_t estimateDownloadReusing(const fs::path& folder, const GameManifest& m, const std::atomic<bool>* cancel) {
  std::unordered_set<std::string> seen;
  GameManifest installed;
  const bool haveInstalled = readInstalledManifest(folder, installed);
  if (haveInstalled) {
    for (const ManifestFile& f : installed.files) {
      for (const ManifestChunk& c : chunkList(f, installed.chunkSize)) seen.insert(c.hash);
    }
  }
  const bool weak = haveInstalled && hasUsableWeakChecksums(m);
  MovedSearch search;
  search.chunkSize = m.chunkSize;
  std::vector<std::string> wantedPaths;
  uint64_t total = 0;
  for (const ManifestFile& f : m.files) {
    const std::vector<ManifestChunk> chunks = chunkList(f, m.chunkSize);
    const bool rollable = weak && f.weak.size() == chunks.size() && !f.chunks.empty();
    bool wantedFile = false;
    for (size_t i = 0; i < chunks.size(); ++i) {
      const ManifestChunk& c = chunks[i];
      if (!seen.insert(c.hash).second) continue;
      total += c.size;
      if (!rollable) continue;
      if (!wantedFile) {
        wantedFile = true;
        search.files.push_back({manifestPathKey(f.path), f.size});
        wantedPaths.push_back(f.path);
      }
      search.chunks.push_back({c.hash, c.size, f.weak[i], search.files.size() - 1, c.offset});
    }
  }
  if (search.chunks.empty()) return total;
  search.local = localFilesFor(folder, wantedPaths, {&installed}, m);
  if (search.local.empty()) return total;
  search.found = [](size_t, const ChunkPieces&, const LocalFile&, uint64_t) { return true; };
  MovedSearchStats stats;
  (void)findMovedChunks(search, cancel, stats);
  return total - stats.foundBytes;
}

}  // namespace launcher
