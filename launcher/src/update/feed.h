// Where the update feed is and what its documents say. The check thread that
// uses these comes with the application object.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace launcher {

// The parsed latest.json of a channel.
struct Feed {
  bool ok = false;    // fetched, and the top level is an object
  std::string error;  // why ok is false
  std::string url;    // where it was requested; references in it resolve against this
  std::string launcherVersion;
  std::string launcherUrl;  // as written
  std::string launcherSha256;
  uint64_t launcherSize = 0;
  std::string gameVersion;
  std::string gameManifest;  // as written
  std::string gameReleased;
  int32_t gameBuild = 0;
  uint64_t gameSize = 0;
  std::vector<std::string> notes;
};

// One add-on the server offers; `manifest` already resolved.
struct CatalogEntry {
  std::string id;
  std::string name;
  std::string version;
  std::string author;
  std::string description;
  std::string manifest;
  uint64_t size = 0;
};

// The built-in update server, used when nothing else is configured.
inline constexpr const char* defaultFeedBase = "https://updates.astrane-vantor.com";

// VANTOR_UPDATE_FEED, else launcherFolder / "update.json" "feed", else the
// built-in server; trailing "/" and "\" removed. Empty means no server.
[[nodiscard]] std::string feedBaseUrl(const std::filesystem::path& launcherFolder);

// joinLocation(base, channel + "/latest.json"), or "" without a base.
[[nodiscard]] std::string latestJsonUrl(const std::filesystem::path& launcherFolder,
                                        const std::string& channel);

[[nodiscard]] Feed fetchFeed(const std::string& url);
// The same; `stop` (may be empty) ends the fetch as "Cancelled", also while a
// server is silent.
[[nodiscard]] Feed fetchFeed(const std::string& url, const std::function<bool()>& stop);

// Parses a latest.json body already fetched from `url` (fetchFeed's tail).
[[nodiscard]] Feed parseFeed(const std::string& url, const std::string& body);

[[nodiscard]] bool fetchCatalog(const std::string& url, std::vector<CatalogEntry>& out,
                                std::string& error);

// 1 to 64 characters, each a-z, 0-9, "-" or "_".
[[nodiscard]] bool isValidAddonId(const std::string& id);

[[nodiscard]] std::vector<int32_t> parseVersion(const std::string& text);

// -1, 0 or 1: dotted numbers first, then the builds.
[[nodiscard]] int compareVersions(const std::string& a, uint32_t buildA, const std::string& b,
                                  uint32_t buildB);

}  // namespace launcher
