// checkForUpdates: one background pass over the feed, the release manifest,
// the add-on catalogue and the server status, and the automatic updates.
#include "app/launcher_app.h"

#include "base/log.h"
#include "platform/platform.h"
#include "update/http.h"
#include "update/location.h"

#include <system_error>

namespace launcher {

namespace fs = std::filesystem;

void LauncherApp::checkForUpdates(bool applyAutoUpdates) {
  if (shutDown_) return;
  std::string channel;
  {
    std::lock_guard lock(mutex_);
    if (checking_) return;  // one at a time; see runCheck for a channel switch meanwhile
    checking_ = true;
    channel = prefs_.channel;  // the channel as it is when asked
  }
  // The previous check has published its results, so it has ended or is
  // about to.
  if (checkThread_.joinable()) checkThread_.join();
  markStateDirty();
  try {
    checkThread_ = std::thread([this, channel, applyAutoUpdates] { runCheck(channel, applyAutoUpdates); });
  } catch (const std::system_error& e) {
    logf("error", "The update check could not be started: {}", e.what());
    {
      std::lock_guard lock(mutex_);
      checking_ = false;
    }
    markStateDirty();
  }
}

void LauncherApp::runCheck(const std::string& channel, bool applyAutoUpdates) {
  const std::string base = feedBaseUrl(paths_.launcherFolder);
  Feed feed;
  if (!base.empty()) {
    feed = fetchFeed(latestJsonUrl(paths_.launcherFolder, channel));
  } else {
    feed.error = "No update server is set";
  }

  GameManifest manifest;
  uint64_t size = 0;
  if (feed.ok && !feed.gameManifest.empty()) {
    std::string location;
    std::string ignored;
    // The launcher's close ends the fetch at once, also while a server is
    // silent; the shutdown waits for this thread.
    if (resolveReference(feed.url, feed.gameManifest, location, ignored) &&
        loadManifest(location, manifest, ignored, [this] { return checkStop_.load(); }, manifestDocumentLimits)) {
      if (!paths_.devBuild) size = estimateDownload(paths_.gameFolder, manifest);
    } else {
      manifest = GameManifest{};
    }
  }

  std::vector<CatalogEntry> catalog;
  if (!base.empty()) {
    std::string ignored;
    if (!fetchCatalog(joinLocation(base, "addons/catalog.json"), catalog, ignored)) catalog.clear();
  }

  json status = json::object();
  if (isHttpUrl(base)) {
    std::string body;
    std::string ignored;
    if (fetchText(base + "/api/status", body, ignored, {}, smallDocumentLimits)) {
      json parsed = json::parse(body, nullptr, false);
      if (parsed.is_object()) status = std::move(parsed);
    }
  }

  logf("info", "Feed {}: {} (game {} build {}, launcher {}, {} addons, {:.1f} MB to download)", base,
       feed.ok ? std::string("ok") : feed.error, feed.gameVersion, feed.gameBuild, feed.launcherVersion,
       catalog.size(), static_cast<double>(size) / 1e6);

  // What the automatic updates need of the file system, read before the lock.
  std::error_code ec;
  const bool exeExists = fs::exists(paths_.gameExecutable, ec) && !ec;
  const bool lockHeld = isGameRunning();
  const std::vector<AddonInfo> addons = applyAutoUpdates ? listInstalledAddons() : std::vector<AddonInfo>{};

  bool updateGame = false;
  std::vector<std::string> updateAddons;
  bool stale;
  {
    std::lock_guard lock(mutex_);
    // A channel switched while this ran asks for one more check: these
    // results belong to the old channel, so they queue nothing, and the next
    // check carries this one's permission to queue.
    stale = prefs_.channel != channel;
    const bool autoUpdate = prefs_.autoUpdateGame;
    if (applyAutoUpdates && !stale && autoUpdate) {
      if (feed.ok && !paths_.devBuild && exeExists && !(gameRunning_ || lockHeld)) {
        const std::string installedVersion = installedManifestValid_ ? installedManifest_.version : std::string();
        const uint32_t installedBuild = installedManifestValid_ ? static_cast<uint32_t>(installedManifest_.build) : 0;
        updateGame = compareVersions(installedVersion, installedBuild, feed.gameVersion,
                                     static_cast<uint32_t>(feed.gameBuild)) < 0;
      }
      for (const AddonInfo& addon : addons) {
        if (!addon.managed) continue;
        for (const CatalogEntry& entry : catalog) {
          if (entry.id == addon.id) {
            if (compareVersions(addon.version, 0, entry.version, 0) < 0) updateAddons.push_back(addon.id);
            break;
          }
        }
      }
    }
    feed_ = std::move(feed);
    latestManifest_ = std::move(manifest);
    downloadSize_ = size;
    catalog_ = std::move(catalog);
    serverStatus_ = std::move(status);
    checking_ = false;
    checked_ = true;
  }
  // Queueing happens on the UI thread.
  (void)postToUi([this, updateGame, updateAddons, stale, applyAutoUpdates] {
    if (updateGame) queueGameUpdate(false, false);
    for (const std::string& id : updateAddons) queueAddon(id);
    markStateDirty();
    if (stale) checkForUpdates(applyAutoUpdates);
  });
}

}  // namespace launcher
