#include "update/feed.h"

#include "testing/scoped_env.h"
#include "testing/temp_dir.h"
#include "update/location.h"

#include <gtest/gtest.h>

#include <limits>

namespace launcher {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
using testing::writeFile;

TEST(ParseVersion, ReadsDottedNumbersUpToTheFirstOtherCharacter) {
  struct Case {
    const char* text;
    std::vector<int32_t> parts;
  };
  const Case cases[] = {
      {"1.2", {1, 2}},
      {"1.2.", {1, 2, 0}},
      {"2.0-beta", {2, 0}},
      {"beta", {}},
      {"", {}},
      {"10.20.30", {10, 20, 30}},
      {".5", {0, 5}},
      {"1..2", {1, 0, 2}},
      {"3 (hotfix)", {3}},
      {"1.99999999999", {1, std::numeric_limits<int32_t>::max()}},
  };
  for (const Case& c : cases) EXPECT_EQ(parseVersion(c.text), c.parts) << c.text;
}

TEST(CompareVersions, NumbersFirstThenBuilds) {
  struct Case {
    const char* a;
    uint32_t buildA;
    const char* b;
    uint32_t buildB;
    int result;
  };
  const Case cases[] = {
      {"1.2", 0, "1.2.0", 0, 0},
      {"1.10", 0, "1.9", 0, 1},
      {"1.2", 5, "1.2", 7, -1},
      {"", 0, "0.1", 0, -1},
      {"", 0, "", 0, 0},
      {"2.0-beta", 0, "2.0", 0, 0},
      {"1.2.3", 0, "1.2", 9, 1},
      {"1.2", 9, "1.2.3", 0, -1},
      {"1", 4294967295u, "1", 1, 1},  // builds compare unsigned
      {"1.99999999999", 0, "1.2147483647", 0, 0},
      {"1.99999999999", 0, "1.5", 0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compareVersions(c.a, c.buildA, c.b, c.buildB), c.result) << c.a << " / " << c.b;
    EXPECT_EQ(compareVersions(c.b, c.buildB, c.a, c.buildA), -c.result) << c.b << " / " << c.a;
  }
}

TEST(AddonId, OneToSixtyFourOfLowercaseDigitsHyphenUnderscore) {
  EXPECT_TRUE(isValidAddonId("my-pack"));
  EXPECT_TRUE(isValidAddonId("pack_2"));
  EXPECT_TRUE(isValidAddonId("0"));
  EXPECT_TRUE(isValidAddonId(std::string(64, 'a')));
  for (const std::string bad : {"", "My-Pack", "my.pack", "a b", "a/b", "..", "caf\xc3\xa9"}) {
    EXPECT_FALSE(isValidAddonId(bad)) << bad;
  }
  EXPECT_FALSE(isValidAddonId(std::string(65, 'a')));
}

TEST(FeedBaseUrl, EnvironmentWinsAndTrailingSeparatorsGo) {
  TempDir dir;
  writeFile(dir / "update.json", R"({"feed": "https://configured.example.com/feed"})");
  {
    ScopedEnv env("VANTOR_UPDATE_FEED", "/srv/feed\\");
    EXPECT_EQ(feedBaseUrl(dir.path()), "/srv/feed");
  }
  {
    ScopedEnv env("VANTOR_UPDATE_FEED", "https://env.example.com/a//\\/");
    EXPECT_EQ(feedBaseUrl(dir.path()), "https://env.example.com/a");
  }
  {
    ScopedEnv env("VANTOR_UPDATE_FEED", "/");
    EXPECT_EQ(feedBaseUrl(dir.path()), "");
    EXPECT_EQ(latestJsonUrl(dir.path(), "stable"), "");
  }
  {
    ScopedEnv env("VANTOR_UPDATE_FEED", "");  // empty counts as unset
    EXPECT_EQ(feedBaseUrl(dir.path()), "https://configured.example.com/feed");
  }
}

TEST(FeedBaseUrl, UnusableUpdateJsonFallsBackToTheBuiltInServer) {
  ScopedEnv env("VANTOR_UPDATE_FEED", std::nullopt);
  const std::string builtIn = defaultFeedBase;
  struct Case {
    const char* name;
    const char* content;  // nullptr: no update.json at all
    std::string base;
  };
  const Case cases[] = {
      {"no file", nullptr, builtIn},
      {"feed a number", R"({"feed": 5})", builtIn},
      {"feed empty", R"({"feed": ""})", builtIn},
      {"feed missing", R"({"other": "x"})", builtIn},
      {"not an object", R"(["https://x.example.com"])", builtIn},
      {"does not parse", R"({"feed": "https://x.example.com")", builtIn},
      {"feed a folder", R"({"feed": "D:\\Feeds\\Vantor\\"})", "D:\\Feeds\\Vantor"},
      {"feed only slashes", R"({"feed": "//\\"})", ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    if (c.content) writeFile(dir / "update.json", c.content);
    EXPECT_EQ(feedBaseUrl(dir.path()), c.base) << c.name;
  }
  EXPECT_EQ(builtIn.rfind("https://", 0), 0u);
  EXPECT_NE(builtIn.back(), '/');
}

TEST(LatestJsonUrl, ChannelFolderJoinedWithTheBasesSeparator) {
  TempDir dir;
  {
    ScopedEnv env("VANTOR_UPDATE_FEED", "https://updates.example.com/feed/");
    EXPECT_EQ(latestJsonUrl(dir.path(), "stable"), "https://updates.example.com/feed/stable/latest.json");
  }
  {
    ScopedEnv env("VANTOR_UPDATE_FEED", "file:///srv/feed");
    EXPECT_EQ(latestJsonUrl(dir.path(), "beta"), "file:///srv/feed/beta/latest.json");
  }
  {
    // A folder base: the trailing backslash is gone before the join, so the
    // result is the folder's own join, never a doubled separator.
    ScopedEnv env("VANTOR_UPDATE_FEED", "/srv/feed\\");
    EXPECT_EQ(latestJsonUrl(dir.path(), "stable"), joinLocation("/srv/feed", "stable/latest.json"));
  }
}

TEST(ParseFeed, TopLevelMustBeAnObject) {
  for (const char* body : {"[]", "[{\"game\": {}}]", "\"text\"", "", "{\"game\": "}) {
    Feed feed = parseFeed("https://x.example.com/stable/latest.json", body);
    EXPECT_FALSE(feed.ok) << body;
    EXPECT_EQ(feed.error, "The update server sent something unreadable") << body;
    EXPECT_EQ(feed.url, "https://x.example.com/stable/latest.json");
  }
  Feed empty = parseFeed("u", "{}");
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(empty.error, "");
}

TEST(ParseFeed, TakesEveryMemberAndDefaultsTheWrongOnes) {
  Feed feed = parseFeed("https://x.example.com/stable/latest.json", R"({
    "launcher": {"version": "1.0.3", "url": "../launcher/VantorLauncher", "sha256": "ab", "size": 1234},
    "game": {"version": "1.4.2", "build": 4294967295, "manifest": "../manifests/1.4.2-7.json",
             "size": 5000000000, "released": "2025-03-01", "notes": ["One", 2, null, "Two", {"x": 1}]},
    "unknown": true})");
  ASSERT_TRUE(feed.ok);
  EXPECT_EQ(feed.launcherVersion, "1.0.3");
  EXPECT_EQ(feed.launcherUrl, "../launcher/VantorLauncher");
  EXPECT_EQ(feed.launcherSha256, "ab");
  EXPECT_EQ(feed.launcherSize, 1234u);
  EXPECT_EQ(feed.gameVersion, "1.4.2");
  EXPECT_EQ(feed.gameBuild, -1);
  EXPECT_EQ(feed.gameManifest, "../manifests/1.4.2-7.json");
  EXPECT_EQ(feed.gameSize, 5000000000u);
  EXPECT_EQ(feed.gameReleased, "2025-03-01");
  EXPECT_EQ(feed.notes, (std::vector<std::string>{"One", "Two"}));

  Feed wrong = parseFeed("u", R"({"launcher": "1.0", "game": {"version": 2, "build": "7", "size": -1,
                                   "notes": "text", "manifest": ["m"]}})");
  ASSERT_TRUE(wrong.ok);
  EXPECT_EQ(wrong.launcherVersion, "");
  EXPECT_EQ(wrong.gameVersion, "");
  EXPECT_EQ(wrong.gameBuild, 0);
  EXPECT_EQ(wrong.gameSize, 0u);
  EXPECT_EQ(wrong.gameManifest, "");
  EXPECT_TRUE(wrong.notes.empty());

  EXPECT_EQ(parseFeed("u", R"({"game": {"build": 12.7}})").gameBuild, 12);
}

TEST(FetchFeed, EmptyOrUnreachableLocationIsReported) {
  Feed none = fetchFeed("");
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.error, "No update server is set");

  TempDir dir;
  const std::string missing = toUtf8(dir / "stable" / "latest.json");
  Feed feed = fetchFeed(missing);
  EXPECT_FALSE(feed.ok);
  EXPECT_EQ(feed.url, missing);
  EXPECT_EQ(feed.error, "Can't open " + missing);

  writeFile(dir / "stable" / "latest.json", R"({"game": {"version": "2.0", "build": 3}})");
  Feed found = fetchFeed(missing);
  EXPECT_TRUE(found.ok) << found.error;
  EXPECT_EQ(found.gameVersion, "2.0");
  EXPECT_EQ(found.gameBuild, 3);
}

TEST(FetchCatalog, KeepsValidEntriesAndResolvesTheirManifests) {
  TempDir dir;
  const std::string url = toUtf8(dir / "addons" / "catalog.json");
  writeFile(dir / "addons" / "catalog.json", R"({"addons": [
    {"id": "arena-pack", "name": "Arena Pack", "version": "1.2", "author": "Ana", "description": "Arenas",
     "manifest": "manifests/arena-pack-1.2.json", "size": 4096},
    {"id": "Capital", "manifest": "manifests/c.json"},
    {"id": "no-manifest", "name": "Nothing"},
    {"id": "empty-manifest", "manifest": ""},
    {"id": "my.pack", "manifest": "manifests/d.json"},
    "not an object",
    {"id": 7, "manifest": "manifests/e.json"},
    {"id": "remote_1", "name": "", "manifest": "https://cdn.example.com/r.json", "size": "big"}
  ]})");
  std::vector<CatalogEntry> entries(1);
  std::string error;
  ASSERT_TRUE(fetchCatalog(url, entries, error)) << error;
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].id, "arena-pack");
  EXPECT_EQ(entries[0].name, "Arena Pack");
  EXPECT_EQ(entries[0].version, "1.2");
  EXPECT_EQ(entries[0].author, "Ana");
  EXPECT_EQ(entries[0].description, "Arenas");
  EXPECT_EQ(entries[0].manifest, toGenericUtf8(dir / "addons" / "manifests" / "arena-pack-1.2.json"));
  EXPECT_EQ(entries[0].size, 4096u);
  EXPECT_EQ(entries[1].id, "remote_1");
  EXPECT_EQ(entries[1].name, "remote_1");
  EXPECT_EQ(entries[1].manifest, "https://cdn.example.com/r.json");
  EXPECT_EQ(entries[1].size, 0u);
}

TEST(FetchCatalog, ArrayFormResolvesAgainstTheCatalogsFolder) {
  TempDir dir;
  writeFile(dir / "catalog.json", R"([{"id": "p", "manifest": "../m/p.json"}])");
  std::vector<CatalogEntry> entries;
  std::string error;
  ASSERT_TRUE(fetchCatalog(toUtf8(dir / "catalog.json"), entries, error)) << error;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].manifest, toGenericUtf8(dir.path().parent_path() / "m" / "p.json"));
}

TEST(FetchCatalog, DamagedOrMissingCatalogFails) {
  TempDir dir;
  for (const char* body : {R"({"addons": 5})", R"({"other": []})", "5", "{\"addons\": [", ""}) {
    writeFile(dir / "catalog.json", body);
    std::vector<CatalogEntry> entries(1);
    std::string error;
    EXPECT_FALSE(fetchCatalog(toUtf8(dir / "catalog.json"), entries, error)) << body;
    EXPECT_EQ(error, "The addon catalog is damaged") << body;
    EXPECT_TRUE(entries.empty());
  }
  std::vector<CatalogEntry> entries;
  std::string error;
  const std::string missing = toUtf8(dir / "missing.json");
  EXPECT_FALSE(fetchCatalog(missing, entries, error));
  EXPECT_EQ(error, "Can't open " + missing);
}

}  // namespace
}  // namespace launcher
