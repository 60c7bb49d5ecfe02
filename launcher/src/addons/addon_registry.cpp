#include "addons/addon_registry.h"

#include "addons/addon_scan_cache.h"
#include "data/json_document.h"
#include "data/paths.h"
#include "update/location.h"

#include <algorithm>
#include <mutex>
#include <system_error>
#include <utility>

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Serialises every read-modify-write of an enabled list in this process.
std::mutex& enabledListMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string textMember(const json& object, const char* key, const std::string& fallback) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return fallback;
  return it->get<std::string>();
}

}  // namespace

AddonPaths defaultAddonPaths() { return {addonsFolder(), dataFolder() / "addons.json"}; }

std::vector<std::string> readEnabledAddons(const fs::path& enabledFile) {
  std::vector<std::string> ids;
  json document = readJsonDocument(enabledFile);
  if (!document.is_object()) return ids;
  auto list = document.find("enabled");
  if (list == document.end() || !list->is_array()) return ids;
  for (const json& element : *list) {
    if (element.is_string() && isValidAddonId(element.get_ref<const std::string&>())) {
      ids.push_back(element.get<std::string>());
    }
  }
  return ids;
}

bool writeEnabledAddons(const fs::path& enabledFile, const std::vector<std::string>& ids) {
  return writeJsonDocument(enabledFile, json{{"enabled", ids}});
}

bool setAddonEnabled(const fs::path& enabledFile, const std::string& id, bool enabled) {
  if (!isValidAddonId(id)) return false;
  std::lock_guard<std::mutex> lock(enabledListMutex());
  std::vector<std::string> ids = readEnabledAddons(enabledFile);
  ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
  if (enabled) ids.push_back(id);
  return writeEnabledAddons(enabledFile, ids);
}

std::vector<AddonInfo> listInstalledAddons(const AddonPaths& paths) { return listInstalledAddons(paths, nullptr); }

std::vector<AddonInfo> listInstalledAddons(const AddonPaths& paths, AddonScanCache* cache) {
  std::vector<AddonInfo> addons;
  if (cache && cache->keptListing(paths, addons)) return addons;
  // What this listing is built from, as the scan finds it, for the cache to
  // keep the whole listing while none of it changes.
  std::vector<AddonScanCache::Basis> basis;
  const int64_t scanStart = cache ? scanClockNs() : 0;
  std::vector<fs::path> seen;
  std::error_code ec;
  fs::create_directories(paths.addonsFolder, ec);
  if (cache) {
    AddonScanCache::Basis folder{paths.addonsFolder, false, {}};
    folder.present = fileStamp(paths.addonsFolder, folder.stamp);
    basis.push_back(std::move(folder));
  }
  fs::directory_iterator it(paths.addonsFolder, ec);
  if (ec) return addons;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    if (!it->is_directory(typeError) || typeError) continue;
    const std::string id = toUtf8(it->path().filename());
    if (!isValidAddonId(id)) continue;
    AddonInfo addon;
    seen.push_back(it->path());
    if (cache) {
      AddonScanCache::Basis info;
      const bool ok = cache->addonInfo(it->path(), id, addon, &info);
      basis.push_back(std::move(info));
      if (!ok) continue;
      AddonScanCache::Basis manifest{it->path() / "manifest.json", false, {}};
      manifest.present = fileStamp(manifest.file, manifest.stamp);
      addon.managed = manifest.present;
      basis.push_back(std::move(manifest));
    } else {
      json info = readJsonDocument(it->path() / "addon.json");
      if (!info.is_object()) continue;
      addon.id = id;
      addon.name = textMember(info, "name", id);
      addon.version = textMember(info, "version", "");
      addon.author = textMember(info, "author", "");
      addon.description = textMember(info, "description", "");
      addon.folder = it->path();
      std::error_code manifestError;
      addon.managed = fs::exists(it->path() / "manifest.json", manifestError);
    }
    addons.push_back(std::move(addon));
  }
  // A listing cut short by an error is shown, never kept.
  const bool complete = !ec;
  if (cache) cache->retainOnly(seen);

  // Each add-on's place in the enabled list, looked up once: a comparison
  // that searched the list would cost the sort n * log n * n string compares,
  // and this runs for every state document.
  AddonScanCache::Basis enabledBasis;
  const std::vector<std::string> enabled =
      cache ? cache->enabledList(paths.enabledFile, &enabledBasis) : readEnabledAddons(paths.enabledFile);
  std::vector<std::pair<size_t, size_t>> order;  // (rank, index into addons)
  order.reserve(addons.size());
  for (size_t i = 0; i < addons.size(); ++i) {
    const size_t rank = static_cast<size_t>(std::find(enabled.begin(), enabled.end(), addons[i].id) - enabled.begin());
    addons[i].enabled = rank < enabled.size();
    order.emplace_back(rank, i);
  }
  std::stable_sort(order.begin(), order.end(), [&addons](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    return addons[a.second].name < addons[b.second].name;  // char_traits<char> compares as unsigned bytes
  });
  std::vector<AddonInfo> sorted;
  sorted.reserve(addons.size());
  for (const auto& entry : order) sorted.push_back(std::move(addons[entry.second]));
  if (cache && complete) {
    basis.push_back(std::move(enabledBasis));
    cache->keepListing(paths, std::move(basis), scanStart, sorted);
  }
  return sorted;
}

std::vector<std::string> readEnabledAddons() { return readEnabledAddons(defaultAddonPaths().enabledFile); }

bool setAddonEnabled(const std::string& id, bool enabled) {
  return setAddonEnabled(defaultAddonPaths().enabledFile, id, enabled);
}

std::vector<AddonInfo> listInstalledAddons() { return listInstalledAddons(defaultAddonPaths()); }

}  // namespace launcher
