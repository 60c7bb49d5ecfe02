// Where the update feed is and what its documents say. The check thread that
// uses these comes with the application object.
#pragma once

#include "update/feed_trust.h"
#include "update/http.h"
#include "update/manifest.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
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
  // The release manifest's pin: "game"."manifestSha256" and "manifestSize".
  std::string gameManifestSha256;
  uint64_t gameManifestSize = 0;
  uint64_t serial = 0;  // "serial"
  std::string expires;  // "expires", as written
  // Signed by a trusted key, unexpired and not older than what was seen when
  // fetched: every pin in it must then hold.
  bool verified = false;
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
  // The manifest's pin ("manifestSha256", "manifestSize"); an entry of a
  // verified catalogue always has one.
  std::string manifestSha256;
  uint64_t manifestSize = 0;
};

// The release manifest's pin, required when the feed was verified.
[[nodiscard]] DocumentPin gameManifestPin(const Feed& feed);
// An add-on manifest's pin (an entry of a verified catalogue always has one).
[[nodiscard]] DocumentPin manifestPin(const CatalogEntry& entry);

// The built-in update server, used when nothing else is configured.
inline constexpr const char* defaultFeedBase = "https://updates.astrane-vantor.com";

// VANTOR_UPDATE_FEED, else launcherFolder / "update.json" "feed", else the
// built-in server; trailing "/" and "\" removed. Empty means no server.
[[nodiscard]] std::string feedBaseUrl(const std::filesystem::path& launcherFolder);

// A feed named on the command line (vantorctl --feed), taken by feedBaseUrl
// before everything else for the rest of the process; "" restores the usual
// order. Call before any thread starts.
void setFeedBaseOverride(const std::string& location);

// joinLocation(base, channel + "/latest.json"), or "" without a base.
[[nodiscard]] std::string latestJsonUrl(const std::filesystem::path& launcherFolder,
                                        const std::string& channel);

// Fetches and parses latest.json, unchecked (as with no key trusted).
[[nodiscard]] Feed fetchFeed(const std::string& url);
// The same; `stop` (may be empty) ends the fetch as "Cancelled", also while a
// server is silent.
[[nodiscard]] Feed fetchFeed(const std::string& url, const std::function<bool()>& stop);

// The same through fetchSignedDocument: with keys trusted, a document that is
// not signed, has expired or is older than one seen fails with its text, and
// a verified one has `verified` set. `stop` ends the fetch as "Cancelled".
[[nodiscard]] Feed fetchFeed(const std::string& url, const FeedTrust& trust, const StopRequested& stop = {});

// What a job installs from.
enum class FeedUse { Game, Launcher };

// The feed a job works from. `offered` is the feed the page showed (the
// update check's), handed to the job when it was queued. It is used as it is
// when it was read from `url` and, with keys trusted, was verified and has not
// expired since. Otherwise latest.json is fetched again through
// fetchFeed(url, trust, stop), and when `offered` came from `url` too, a feed
// that names an older game (FeedUse::Game) or launcher (FeedUse::Launcher)
// than it did fails with olderReleaseText. The result's `error` says why it
// is not ok.
[[nodiscard]] Feed feedForJob(const std::string& url, const std::optional<Feed>& offered, const FeedTrust& trust,
                              FeedUse use, const StopRequested& stop = {});

// Parses a latest.json body already fetched from `url` (fetchFeed's tail).
[[nodiscard]] Feed parseFeed(const std::string& url, const std::string& body);

[[nodiscard]] bool fetchCatalog(const std::string& url, std::vector<CatalogEntry>& out,
                                std::string& error);

// The same through fetchSignedDocument. A verified catalogue keeps only the
// entries whose manifest is pinned (a valid digest and a size).
[[nodiscard]] bool fetchCatalog(const std::string& url, std::vector<CatalogEntry>& out, std::string& error,
                                const FeedTrust& trust, const StopRequested& stop = {});

// 1 to 64 characters, each a-z, 0-9, "-" or "_".
[[nodiscard]] bool isValidAddonId(const std::string& id);

[[nodiscard]] std::vector<int32_t> parseVersion(const std::string& text);

// -1, 0 or 1: dotted numbers first, then the builds.
[[nodiscard]] int compareVersions(const std::string& a, uint32_t buildA, const std::string& b,
                                  uint32_t buildB);

}  // namespace launcher
