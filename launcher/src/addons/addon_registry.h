// The local add-on registry: which add-ons are installed (one folder each
// under the add-ons folder, named by its id, with an "addon.json"), which are
// enabled and in what order ("addons.json" in the data folder). Every call
// reads the disk, unless it is given a cache.
#pragma once

#include "update/feed.h"  // isValidAddonId: the id rule, shared with the catalogue reader

#include <filesystem>
#include <string>
#include <vector>

namespace launcher {

struct AddonInfo {
  std::string id;
  std::string name;  // "name" of addon.json; the id when absent
  std::string version;
  std::string author;
  std::string description;
  std::filesystem::path folder;
  bool enabled = false;
  bool managed = false;  // folder holds a manifest.json: installed by the launcher
};

// Where the registry lives. defaultAddonPaths() gives the launcher's own
// (addonsFolder() and dataFolder() / "addons.json", both created when missing).
struct AddonPaths {
  std::filesystem::path addonsFolder;
  std::filesystem::path enabledFile;
};
[[nodiscard]] AddonPaths defaultAddonPaths();

// The "enabled" array of the file: only the strings that are valid ids, in
// order, duplicates kept. A missing or damaged file, no object, or no array
// reads as empty. Any thread.
[[nodiscard]] std::vector<std::string> readEnabledAddons(const std::filesystem::path& enabledFile);

// Writes {"enabled": ids} through the checked ".tmp" write: a failed write
// (a full disk) never replaces the file. True when the new file is in place.
// Callers that read-modify-write go through setAddonEnabled.
[[nodiscard]] bool writeEnabledAddons(const std::filesystem::path& enabledFile, const std::vector<std::string>& ids);

// Removes every occurrence of `id` from the enabled list and, when `enabled`,
// appends it once at the end. False, with nothing written, for an invalid id;
// otherwise whether the write succeeded. The read-modify-write is serialised
// by a lock of the registry's own, so calls from the UI thread and the job
// worker cannot lose each other's change. Any thread; takes only that lock.
[[nodiscard]] bool setAddonEnabled(const std::filesystem::path& enabledFile, const std::string& id, bool enabled);

// The installed add-ons: every folder directly in `addonsFolder` whose name is
// a valid id and whose "addon.json" parses to an object (text members that are
// not strings count as absent); enabled ones first in enabled-list order, then
// the rest by name, byte order, stable. Missing or unreadable entries are left
// out silently; never fails. Any thread.
[[nodiscard]] std::vector<AddonInfo> listInstalledAddons(const AddonPaths& paths);

// The same, answering what did not change since the last call from `cache`
// (may be null): see addon_scan_cache.h.
class AddonScanCache;
[[nodiscard]] std::vector<AddonInfo> listInstalledAddons(const AddonPaths& paths, AddonScanCache* cache);

// The same on the launcher's own folders (defaultAddonPaths()).
[[nodiscard]] std::vector<std::string> readEnabledAddons();
[[nodiscard]] bool setAddonEnabled(const std::string& id, bool enabled);
[[nodiscard]] std::vector<AddonInfo> listInstalledAddons();

}  // namespace launcher
