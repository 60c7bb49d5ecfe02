#include "update/sync_plan.h"

#include "update/location.h"
#include "update/sync_install.h"

#include <unordered_map>

namespace launcher {

namespace fs = std::filesystem;

SyncPlan makeSyncPlan(const fs::path& root, const GameManifest& manifest, const GameManifest* installed,
                      const std::vector<size_t>& changed, uint64_t downloadBytes, int32_t downloadObjects) {
  std::unordered_map<std::string, const ManifestFile*> before;
  if (installed) {
    for (const ManifestFile& f : installed->files) before.emplace(manifestPathKey(f.path), &f);
  }
  SyncPlan plan;
  plan.version = manifest.version;
  plan.build = manifest.build;
  plan.filesChecked = static_cast<int32_t>(manifest.files.size());
  plan.downloadBytes = downloadBytes;
  plan.downloadObjects = downloadObjects;
  for (size_t index : changed) {
    const ManifestFile& f = manifest.files[index];
    PlannedFile planned;
    planned.path = f.path;
    planned.size = f.size;
    std::error_code ec;
    const auto it = before.find(manifestPathKey(f.path));
    if (!fs::exists(fs::symlink_status(root / toWide(f.path), ec))) {
      planned.change = PlannedChange::Missing;
    } else if (installed && (it == before.end() || it->second->sha256 != f.sha256)) {
      planned.change = PlannedChange::Updated;
    } else {
      planned.change = PlannedChange::Damaged;
    }
    plan.files.push_back(std::move(planned));
  }
  return plan;
}

}  // namespace launcher
