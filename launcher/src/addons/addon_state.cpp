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
    installedList.push_back({{"id", addon.id},
                             {"name", addon.name},
                             {"version", addon.version},
                             {"author", addon.author},
                             {"description", addon.description},
                             {"enabled", addon.enabled},
                             {"managed", addon.managed},
                             {"update", update},
                             {"latest", entry ? entry->version : std::string()},
                             {"queued", isQueuedId(addon.id)},
                             {"path", toUtf8(addon.folder)}});
  }
  nlohmann::json catalogList = nlohmann::json::array();
  for (const CatalogEntry& entry : catalog) {
    bool isInstalled = false;
    for (const AddonInfo& addon : installed) isInstalled = isInstalled || addon.id == entry.id;
    catalogList.push_back({{"id", entry.id},
                           {"name", entry.name},
                           {"version", entry.version},
                           {"author", entry.author},
                           {"description", entry.description},
                           {"size", entry.size},
                           {"installed", isInstalled},
                           {"queued", isQueuedId(entry.id)}});
  }
  return {{"installed", std::move(installedList)},
          {"catalog", std::move(catalogList)},
          {"folder", toUtf8(addonsFolder)}};
}

}  // namespace launcher
