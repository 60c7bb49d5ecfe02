#include "tasks/game_update.h"

#include "base/log.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "update/file_check.h"
#include "update/folder_sync.h"
#include "update/http.h"
#include "update/location.h"

#include <fmt/format.h>

#include <limits>

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t headroom = 256ull * 1024 * 1024;
constexpr uint64_t maxBytes = std::numeric_limits<uint64_t>::max();

uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > maxBytes - b ? maxBytes : a + b; }

}  // namespace

uint64_t diskSpaceNeeded(uint64_t downloadEstimate, uint64_t assembledBytes) {
  const uint64_t twice = saturatingAdd(downloadEstimate, downloadEstimate);
  const uint64_t written = saturatingAdd(downloadEstimate, assembledBytes);
  return saturatingAdd(std::max(twice, written), headroom);
}

std::string notEnoughSpaceText(uint64_t need, uint64_t free) {
  return fmt::format("Not enough disk space: {:.1f} GB more needed", static_cast<double>(need - free) / 1e9);
}

uint64_t bytesToAssemble(const fs::path& folder, const GameManifest& m) {
  std::atomic<bool> never{false};
  return bytesToAssemble(folder, m, never);
}

uint64_t bytesToAssemble(const fs::path& folder, const GameManifest& m, const std::atomic<bool>& cancel) {
  GameManifest installed;
  const bool haveInstalled = readInstalledManifest(folder, installed);
  Progress record;
  std::vector<size_t> changed;
  std::string error;
  if (!findChangedFiles(folder, m, haveInstalled ? &installed : nullptr, installWasInterrupted(folder), cancel,
                        record, {}, changed, error)) {
    // Without the comparison every file counts.
    changed.clear();
    for (size_t i = 0; i < m.files.size(); ++i) changed.push_back(i);
  }
  uint64_t total = 0;
  for (size_t index : changed) total = saturatingAdd(total, m.files[index].size);
  return total;
}

std::string runGameUpdate(const GameUpdateRequest& request, const std::atomic<bool>& cancel,
                          const std::function<void(const Progress&)>& progress, GameUpdateResult& result) {
  result = GameUpdateResult{};
  // A pause, a cancel or the launcher's close reach every transfer at once,
  // also while a server is silent.
  const auto stop = [&cancel] { return cancel.load(); };
  result.feed = fetchFeed(latestJsonUrl(request.launcherFolder, request.channel), stop);
  if (!result.feed.ok) return result.feed.error;
  if (cancel.load()) return "Cancelled";

  std::string location;
  std::string error;
  if (!result.feed.gameManifest.empty() &&
      !resolveReference(result.feed.url, result.feed.gameManifest, location, error)) {
    return error;
  }
  if (!loadManifest(location, result.manifest, error, stop, manifestDocumentLimits)) return error;
  if (cancel.load()) return "Cancelled";

  std::error_code ec;
  fs::create_directories(request.gameFolder, ec);

  uint64_t free = 0;
  if (freeDiskSpace(request.gameFolder, free)) {
    const uint64_t need = diskSpaceNeeded(estimateDownload(request.gameFolder, result.manifest),
                                          bytesToAssemble(request.gameFolder, result.manifest, cancel));
    if (cancel.load()) return "Cancelled";
    if (need > free) return notEnoughSpaceText(need, free);
  }

  if (!syncFolder(request.gameFolder, result.manifest, request.repair, cancel, progress, error)) return error;
  // Manifests carry no file mode; the game itself must be runnable.
  const fs::path executable = request.gameFolder / gameExecutableName;
  std::string modeError;
  // A failure here shows when the game is started, which tries again.
  if (fs::exists(executable, ec) && !makeExecutable(executable, modeError)) {
    logf("warn", "Couldn't make the game executable: {}", modeError);
  }
  return {};
}

}  // namespace launcher
