// The "addons" section of the state document: the installed add-ons set beside
// the server's catalogue.
#pragma once

#include "addons/addon_registry.h"
#include "update/feed.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace launcher {

// {"installed": [...], "catalog": [...], "folder": addonsFolder}. An installed
// element: "id", "name", "version", "author", "description", "enabled",
// "managed", "update" (managed, listed in the catalogue, and older than its
// entry), "latest" (the entry's version or ""), "queued", "path". A catalogue
// element: "id", "name", "version", "author", "description", "size",
// "installed", "queued"; never its manifest location. `queued(id)` answers
// isQueued("addon", id): the caller builds the section under the application
// mutex. Pure; any thread.
[[nodiscard]] nlohmann::json addonsStateJson(const std::vector<AddonInfo>& installed,
                                             const std::vector<CatalogEntry>& catalog,
                                             const std::function<bool(const std::string& id)>& queued,
                                             const std::filesystem::path& addonsFolder);

}  // namespace launcher
