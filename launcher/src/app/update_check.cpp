// checkForUpdates: one background pass over the feed, the release manifest,
// the add-on catalogue and the server status, and the automatic updates.
#include "app/launcher_app.h"

#include "base/log.h"
#include "data/paths.h"
#include "platform/platform.h"
#include "update/feed_serials.h"
#include "update/http.h"
#include "update/location.h"
#include "update/moved_sync.h"

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

FeedTrust LauncherApp::feedTrust() {
  FeedTrust trust = loadFeedTrust(paths_.launcherFolder, dataFolder() / feedSerialsFileName);
  if (!trust.required && !unverifiedFeedLogged_.exchange(true)) {
    writeLog("warn", "The update feed is not verified: no feed key is trusted");
  }
  return trust;
}

void LauncherApp::runCheck(const std::string& channel, bool applyAutoUpdates) {
  const std::string base = feedBaseUrl(paths_.launcherFolder);
  const FeedTrust trust = base.empty() ? FeedTrust{} : feedTrust();
  Feed feed;
  if (!base.empty()) {
    feed = fetchFeed(latestJsonUrl(paths_.launcherFolder, channel), trust);
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
        loadManifest(location, gameManifestPin(feed), manifest, ignored, [this] { return checkStop_.load(); },
                     manifestDocumentLimits)) {
      // Counts the chunks the update would take from other offsets of the
      // installed files (moved content), as the sync will.
      if (!paths_.devBuild) size = estimateDownloadReusing(paths_.gameFolder, manifest, &checkStop_);
    } else {
      manifest = GameManifest{};
    }
  }

  std::vector<CatalogEntry> catalog;
  if (!base.empty()) {
    std::string error;
    if (!fetchCatalog(joinLocation(base, "addons/catalog.json"), catalog, error, trust)) {
      catalog.clear();
      // Only the refusals are logged: a feed without add-ons has no catalogue.
      if (error == unsignedAnswerText || error == expiredAnswerText || error == olderReleaseText) {
        logf("warn", "The add-on catalogue was refused: {}", error);
      }
    }
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
  std::optional<Feed> offered;  // what the game job installs
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
    if (updateGame) offered = feed;
    feed_ = std::move(feed);
    latestManifest_ = std::move(manifest);
    downloadSize_ = size;
    catalog_ = std::move(catalog);
    serverStatus_ = std::move(status);
    checking_ = false;
    checked_ = true;
  }
  // Queueing happens on the UI thread, with the feed this check found.
  (void)postToUi([this, updateGame, updateAddons, stale, applyAutoUpdates, offered = std::move(offered)] {
    if (updateGame) queueGameUpdateFrom(false, false, offered);
    for (const std::string& id : updateAddons) queueAddon(id);
    markStateDirty();
    if (stale) checkForUpdates(applyAutoUpdates);
  });
}

}  // namespace launcher
