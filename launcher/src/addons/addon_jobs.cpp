#include "addons/addon_jobs.h"

#include "data/folder_tree.h"
#include "update/feed_places.h"
#include "update/folder_sync.h"
#include "update/http.h"
#include "update/location.h"
#include "update/manifest.h"

#include <system_error>

namespace launcher {

namespace fs = std::filesystem;

AddonJobRequest findCatalogEntry(const std::vector<CatalogEntry>& catalog, const std::string& id) {
  AddonJobRequest request;
  for (const CatalogEntry& entry : catalog) {
    if (entry.id == id) {
      request.ok = true;
      request.entry = entry;
      return request;
    }
  }
  request.toast = addonNotOnServerText;
  return request;
}

AddonJobResult runAddonInstall(const CatalogEntry& entry, const AddonPaths& paths, const std::atomic<bool>& cancel,
                               const std::function<void(const Progress&)>& progress,
                               const std::vector<std::string>& manifestPlaces) {
  AddonJobResult result;
  // The catalogue reader checked the id; the folder name depends on it, so
  // check again rather than trust a copy.
  if (!isValidAddonId(entry.id)) {
    result.error = addonNotOnServerText;
    return result;
  }
  GameManifest manifest;
  const std::vector<std::string> places =
      manifestPlaces.empty() ? std::vector<std::string>{entry.manifest} : manifestPlaces;
  if (!loadManifestFrom(places, manifestPin(entry), manifest, result.error, [&cancel] { return cancel.load(); },
                        manifestDocumentLimits)) {
    return result;
  }

  const fs::path folder = paths.addonsFolder / toWide(entry.id);
  std::error_code ec;
  const bool wasManaged = fs::exists(folder / "manifest.json", ec);
  if (ec) {
    result.error = "Couldn't read the add-on's folder: " + ec.message();
    return result;
  }
  if (!syncFolder(folder, manifest, false, cancel, progress, result.error)) return result;
  if (!wasManaged) (void)setAddonEnabled(paths.enabledFile, entry.id, true);
  result.toast = entry.name + (wasManaged ? " updated" : " installed");
  return result;
}

AddonRemoval removeInstalledAddon(const std::string& id, const AddonPaths& paths, bool gameRunning, bool jobQueued) {
  AddonRemoval removal;
  if (!isValidAddonId(id)) return removal;
  if (gameRunning) {
    removal.toast = addonCloseGameText;
    return removal;
  }
  if (jobQueued) {
    removal.toast = addonJobPendingText;
    return removal;
  }
  const fs::path folder = paths.addonsFolder / toWide(id);
  std::error_code ec;
  if (!fs::exists(folder / "addon.json", ec)) {
    removal.toast = addonAlreadyGoneText;
    return removal;
  }
  (void)setAddonEnabled(paths.enabledFile, id, false);
  std::string error;
  if (!removeTree(folder, error)) {
    removal.toast = addonPartlyRemovedText + error;
    return removal;
  }
  removal.toast = addonRemovedText;
  return removal;
}

}  // namespace launcher
