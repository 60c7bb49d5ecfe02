#include "addons/addon_state.h"

#include "update/location.h"

namespace launcher {

namespace {

const CatalogEntry* catalogEntryFor(const std::vector<CatalogEntry>& catalog, const std::string& id) {
  for (const CatalogEntry& entry : catalog) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

}  // namespace

nlohmann::json addonsStateJson(const std::vector<AddonInfo>& installed, const std::vector<CatalogEntry>& catalog,
                               const std::function<bool(const std::string& id)>& queued,
                               const std::filesystem::path& addonsFolder) {
  auto isQueuedId = [&queued](const std::string& id) { return queued ? queued(id) : false; };
  nlohmann::json installedList = nlohmann::json::array();
  for (const AddonInfo& addon : installed) {
    const CatalogEntry* entry = catalogEntryFor(catalog, addon.id);
    const bool update = entry && addon.managed && compareVersions(addon.version, 0, entry->version, 0) < 0;
    // Members set one by one: an initializer list would build every pair as
    // a two-element array first, and this runs for every state document.
    nlohmann::json item = nlohmann::json::object();
    item["id"] = addon.id;
    item["name"] = addon.name;
    item["version"] = addon.version;
    item["author"] = addon.author;
    item["description"] = addon.description;
    item["enabled"] = addon.enabled;
    item["managed"] = addon.managed;
    item["update"] = update;
    item["latest"] = entry ? entry->version : std::string();
    item["queued"] = isQueuedId(addon.id);
    item["path"] = toUtf8(addon.folder);
    installedList.push_back(std::move(item));
  }
  nlohmann::json catalogList = nlohmann::json::array();
  for (const CatalogEntry& entry : catalog) {
    bool isInstalled = false;
    for (const AddonInfo& addon : installed) isInstalled = isInstalled || addon.id == entry.id;
    nlohmann::json item = nlohmann::json::object();
    item["id"] = entry.id;
    item["name"] = entry.name;
    item["version"] = entry.version;
    item["author"] = entry.author;
    item["description"] = entry.description;
    item["size"] = entry.size;
    item["installed"] = isInstalled;
    item["queued"] = isQueuedId(entry.id);
    catalogList.push_back(std::move(item));
  }
  return {{"installed", std::move(installedList)},
          {"catalog", std::move(catalogList)},
          {"folder", toUtf8(addonsFolder)}};
}

}  // namespace launcher
