// Installing, updating and removing add-ons. Install and update are one job
// body (the add-on's manifest, then a folder sync into its folder); removal
// runs at once on the UI thread.
#pragma once

#include "addons/addon_registry.h"
#include "base/progress.h"
#include "update/feed.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace launcher {

inline constexpr const char* addonJobKind = "addon";

inline constexpr const char* addonNotOnServerText = "That addon isn't on the server";
inline constexpr const char* addonJobPendingText = "Wait for its download to finish, or cancel it";
inline constexpr const char* addonAlreadyGoneText = "That addon is already gone";
inline constexpr const char* addonRemovedText = "Addon removed";
inline constexpr const char* addonPartlyRemovedText = "Couldn't remove all of it: ";
inline constexpr const char* addonCloseGameText = "Close the game first";

struct AddonJobRequest {
  bool ok = false;
  CatalogEntry entry;  // when ok: a copy for the job (a later catalogue refresh leaves it alone)
  std::string toast;   // when not ok: "That addon isn't on the server"
};

// The first catalogue entry whose id equals `id` byte for byte. The caller
// holds the application mutex (the catalogue is shared); the job is then
// queued at the back with kind "addon", target the id, label entry.name.
[[nodiscard]] AddonJobRequest findCatalogEntry(const std::vector<CatalogEntry>& catalog, const std::string& id);

struct AddonJobResult {
  std::string error;  // empty on success; "Cancelled" after a cancel or pause
  std::string toast;  // on success: the name followed by " installed" or " updated"
};

// The install-and-update job body (job worker thread; hold no lock): loads
// the entry's manifest, syncs paths.addonsFolder / id to it without
// verifying, with the queue's cancel flag and progress reporter. A folder
// that had no manifest.json before (new, or copied in by hand) is a first
// install: it is then enabled at the end of the enabled list and the toast
// says " installed"; otherwise the enabled state stays and it says
// " updated". On failure the enabled state is untouched and `error` is the
// manifest's or the sync's text.
// `manifestPlaces` (may be empty: the entry's manifest alone) are where the
// manifest may come from, the entry's own first (feedPlaces); its objects
// then come from any of them.
[[nodiscard]] AddonJobResult runAddonInstall(const CatalogEntry& entry, const AddonPaths& paths,
                                             const std::atomic<bool>& cancel,
                                             const std::function<void(const Progress&)>& progress,
                                             const std::vector<std::string>& manifestPlaces = {});

struct AddonRemoval {
  std::string toast;  // what to show; empty for an invalid id (nothing at all happens)
};

// Removal (UI thread; hold no lock; the caller works out `gameRunning` and
// `jobQueued` = isQueued("addon", id) under its mutex beforehand). Refusals in
// order: an invalid id (no toast), the game running ("Close the game first"),
// a job for the add-on in the queue ("Wait for its download to finish, or
// cancel it"), no addon.json in its folder ("That addon is already gone";
// nothing changed, not even the enabled list). Otherwise the id leaves the
// enabled list first, then the folder is deleted (links as links) up to the
// first error: "Couldn't remove all of it: " and the system's text, or
// "Addon removed". The caller then requests a state push.
[[nodiscard]] AddonRemoval removeInstalledAddon(const std::string& id, const AddonPaths& paths, bool gameRunning,
                                                bool jobQueued);

}  // namespace launcher
