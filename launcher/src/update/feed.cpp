#include "update/feed.h"

#include "data/json_document.h"
#include "platform/platform.h"
#include "update/http.h"
#include "update/json_fields.h"
#include "update/location.h"
#include "update/sha256.h"

#include <cstdlib>
#include <limits>

namespace launcher {

namespace {

constexpr const char* unreadableFeed = "The update server sent something unreadable";

std::string configuredFeed(const std::filesystem::path& launcherFolder) {
  // UTF-8 on every system (Windows' getenv gives the ANSI code page's text).
  if (auto env = environmentVariable("VANTOR_UPDATE_FEED"); env && !env->empty()) return *env;
  const json config = readJsonDocument(launcherFolder / "update.json");
  std::string feed = stringMember(config, "feed");
  return feed.empty() ? std::string(defaultFeedBase) : feed;
}

const json& objectMember(const json& doc, const char* key) {
  static const json none = json::object();
  auto it = doc.find(key);
  return it != doc.end() && it->is_object() ? *it : none;
}

}  // namespace

DocumentPin gameManifestPin(const Feed& feed) {
  DocumentPin pin;
  pin.sha256 = feed.gameManifestSha256;
  pin.size = feed.gameManifestSize;
  pin.required = feed.verified;
  return pin;
}

DocumentPin manifestPin(const CatalogEntry& entry) {
  DocumentPin pin;
  pin.sha256 = entry.manifestSha256;
  pin.size = entry.manifestSize;
  return pin;
}

// The command line's choice; set once before any thread starts, read after.
std::string& feedOverride() {
  static std::string value;
  return value;
}

void setFeedBaseOverride(const std::string& location) { feedOverride() = location; }

std::string feedBaseUrl(const std::filesystem::path& launcherFolder) {
  std::string base = feedOverride().empty() ? configuredFeed(launcherFolder) : feedOverride();
  while (!base.empty() && (base.back() == '/' || base.back() == '\\')) base.pop_back();
  return base;
}

std::string latestJsonUrl(const std::filesystem::path& launcherFolder, const std::string& channel) {
  const std::string base = feedBaseUrl(launcherFolder);
  if (base.empty()) return {};
  return joinLocation(base, channel + "/latest.json");
}

Feed fetchFeed(const std::string& url) { return fetchFeed(url, FeedTrust{}); }

Feed fetchFeed(const std::string& url, const std::function<bool()>& stop) { return fetchFeed(url, FeedTrust{}, stop); }

Feed fetchFeed(const std::string& url, const FeedTrust& trust, const StopRequested& stop) {
  if (url.empty()) {
    Feed feed;
    feed.url = url;
    feed.error = "No update server is set";
    return feed;
  }
  std::string body;
  std::string error;
  SignedDocument signedDocument;
  if (!fetchSignedDocument(url, trust, body, signedDocument, error, stop)) {
    Feed feed;
    feed.url = url;
    feed.error = error;
    return feed;
  }
  Feed feed = parseFeed(url, body);
  feed.verified = feed.ok && signedDocument.verified;
  return feed;
}

Feed feedForJob(const std::string& url, const std::optional<Feed>& offered, const FeedTrust& trust, FeedUse use,
                const StopRequested& stop) {
  const bool sameFeed = offered && offered->ok && !url.empty() && offered->url == url;
  if (sameFeed && (!trust.required || (offered->verified && !hasExpired(offered->expires, unixNow())))) {
    return *offered;
  }
  Feed feed = fetchFeed(url, trust, stop);
  if (!feed.ok || !sameFeed) return feed;
  const bool older =
      use == FeedUse::Game
          ? compareVersions(feed.gameVersion, static_cast<uint32_t>(feed.gameBuild), offered->gameVersion,
                            static_cast<uint32_t>(offered->gameBuild)) < 0
          : compareVersions(feed.launcherVersion, 0, offered->launcherVersion, 0) < 0;
  if (older) {
    Feed refused;
    refused.url = url;
    refused.error = olderReleaseText;
    return refused;
  }
  return feed;
}

Feed parseFeed(const std::string& url, const std::string& body) {
  Feed feed;
  feed.url = url;
  const json doc = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) {
    feed.error = unreadableFeed;
    return feed;
  }
  feed.ok = true;
  const json& launcherBuild = objectMember(doc, "launcher");
  feed.launcherVersion = stringMember(launcherBuild, "version");
  feed.launcherUrl = stringMember(launcherBuild, "url");
  feed.launcherSha256 = stringMember(launcherBuild, "sha256");
  feed.launcherSize = uint64Member(launcherBuild, "size");
  const json& game = objectMember(doc, "game");
  feed.gameVersion = stringMember(game, "version");
  feed.gameBuild = int32Member(game, "build");
  feed.gameManifest = stringMember(game, "manifest");
  feed.gameSize = uint64Member(game, "size");
  feed.gameReleased = stringMember(game, "released");
  if (auto notes = game.find("notes"); notes != game.end() && notes->is_array()) {
    for (const json& note : *notes) {
      if (note.is_string()) feed.notes.push_back(note.get<std::string>());
    }
  }
  feed.gameManifestSha256 = stringMember(game, "manifestSha256");
  feed.gameManifestSize = uint64Member(game, "manifestSize");
  feed.serial = uint64Member(doc, "serial");
  feed.expires = stringMember(doc, "expires");
  return feed;
}

bool fetchCatalog(const std::string& url, std::vector<CatalogEntry>& out, std::string& error) {
  return fetchCatalog(url, out, error, FeedTrust{});
}

bool fetchCatalog(const std::string& url, std::vector<CatalogEntry>& out, std::string& error, const FeedTrust& trust,
                  const StopRequested& stop) {
  out.clear();
  std::string body;
  SignedDocument signedDocument;
  if (!fetchSignedDocument(url, trust, body, signedDocument, error, stop)) return false;
  const json doc = json::parse(body, nullptr, /*allow_exceptions=*/false);
  const json* list = &doc;
  if (doc.is_object()) {
    if (auto it = doc.find("addons"); it != doc.end()) list = &*it;
  }
  if (!list->is_array()) {
    error = "The addon catalog is damaged";
    return false;
  }
  for (const json& element : *list) {
    if (!element.is_object()) continue;
    CatalogEntry entry;
    entry.id = stringMember(element, "id");
    entry.manifest = stringMember(element, "manifest");
    if (!isValidAddonId(entry.id) || entry.manifest.empty()) continue;
    // A server's catalogue cannot name local files; such an entry is skipped.
    std::string resolved;
    std::string ignored;
    if (!resolveReference(url, entry.manifest, resolved, ignored)) continue;
    entry.manifest = std::move(resolved);
    entry.name = stringMember(element, "name");
    if (entry.name.empty()) entry.name = entry.id;
    entry.version = stringMember(element, "version");
    entry.author = stringMember(element, "author");
    entry.description = stringMember(element, "description");
    entry.size = uint64Member(element, "size");
    entry.manifestSha256 = stringMember(element, "manifestSha256");
    entry.manifestSize = uint64Member(element, "manifestSize");
    // What a signed catalogue offers is installed only as it was signed.
    if (signedDocument.verified && (!isValidDigest(entry.manifestSha256) || entry.manifestSize == 0)) continue;
    out.push_back(std::move(entry));
  }
  return true;
}

bool isValidAddonId(const std::string& id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
  }
  return true;
}

std::vector<int32_t> parseVersion(const std::string& text) {
  std::vector<int32_t> parts;
  constexpr int32_t most = std::numeric_limits<int32_t>::max();
  int32_t current = 0;
  bool readAny = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      // An absurdly long component stays the largest number rather than
      // wrapping round to a small one.
      int digit = c - '0';
      current = current > (most - digit) / 10 ? most : current * 10 + digit;
    } else if (c == '.') {
      parts.push_back(current);
      current = 0;
    } else {
      break;
    }
    readAny = true;
  }
  if (readAny) parts.push_back(current);
  return parts;
}

int compareVersions(const std::string& a, uint32_t buildA, const std::string& b, uint32_t buildB) {
  const std::vector<int32_t> left = parseVersion(a);
  const std::vector<int32_t> right = parseVersion(b);
  const size_t length = left.size() > right.size() ? left.size() : right.size();
  for (size_t i = 0; i < length; ++i) {
    int32_t x = i < left.size() ? left[i] : 0;
    int32_t y = i < right.size() ? right[i] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  if (buildA != buildB) return buildA < buildB ? -1 : 1;
  return 0;
}

}  // namespace launcher
