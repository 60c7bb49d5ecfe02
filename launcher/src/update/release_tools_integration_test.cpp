// The publishing tools and the launcher must agree on every byte: whatever
// make_release.py and make_addon.py write, the launcher's readers accept, and
// every object they name holds exactly the bytes of its name.
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"
#include "update/feed.h"
#include "update/feed_trust.h"
#include "update/location.h"
#include "update/manifest.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScopedEnv;
using testing::TempDir;
using testing::writeFile;

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// Runs one tool with python3; its output goes to `log`.
bool runTool(const std::string& tool, const std::vector<std::string>& args, const fs::path& log) {
  std::string command = "python3 " + quoted(std::string(VANTOR_SOURCE_DIR) + "/tools/release/" + tool);
  for (const std::string& arg : args) command += " " + quoted(arg);
  command += " >>" + quoted(toUtf8(log)) + " 2>&1";
  return std::system(command.c_str()) == 0;
}

// Bytes that differ from block to block, so equal chunks only come from equal content.
std::string patterned(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return bytes;
}

// Reassembles every file of `m` from its objects and checks it against the
// manifest and against the content it was published from.
void expectFilesReassemble(const GameManifest& m, const fs::path& content) {
  for (const ManifestFile& f : m.files) {
    Sha256 whole;
    uint64_t size = 0;
    for (const ManifestChunk& c : chunkList(f, m.chunkSize)) {
      const std::string location = objectLocation(m, c.hash);
      const std::string bytes = readFile(toWide(location));
      EXPECT_EQ(bytes.size(), c.size) << f.path << " at " << c.offset;
      EXPECT_EQ(sha256Hex(bytes), c.hash) << location;
      whole.update(bytes.data(), bytes.size());
      size += bytes.size();
    }
    EXPECT_EQ(size, f.size) << f.path;
    EXPECT_EQ(whole.finishHex(), f.sha256) << f.path;
    EXPECT_EQ(sha256File(content / toWide(f.path)), f.sha256) << f.path;
  }
}

class ReleaseToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    content_ = dir_ / "game";
    feed_ = dir_ / "feed";
    log_ = dir_ / "tools.log";
    writeFile(content_ / "Vantor", patterned(2621440, 1));  // 2.5 chunks of 1 MiB
    writeFile(content_ / "data" / "level1.pak", patterned(3 * 65536, 2));
    writeFile(content_ / "data" / "copy.pak", patterned(3 * 65536, 2));  // shares every chunk
    writeFile(content_ / "data" / "empty.cfg", "");
    writeFile(content_ / "docs" / "read me.txt", "Welcome to Vantor.\n");
    writeFile(content_ / "manifest.json", "{\"left\": \"out\"}");
    writeFile(content_ / ".staging" / "chunks" / "x", "left out too");
  }

  std::string log() const { return readFile(log_); }

  TempDir dir_;
  fs::path content_;
  fs::path feed_;
  fs::path log_;
};

TEST_F(ReleaseToolsTest, LauncherReadsEverythingMakeReleaseWrites) {
  const nlohmann::json launcherEntry = {
      {"version", "1.0.1"}, {"url", "../launcher/VantorLauncher"}, {"sha256", std::string(64, 'a')}, {"size", 9}};
  writeFile(feed_ / "stable" / "latest.json", nlohmann::json{{"launcher", launcherEntry}}.dump());
  ASSERT_TRUE(runTool("make_release.py",
                      {toUtf8(content_), toUtf8(feed_), "--version", "1.3.0", "--build", "12", "--notes", "Faster",
                       "Fixes", "--released", "2025-01-02"},
                      log_))
      << log();

  Feed feed = fetchFeed(toUtf8(feed_ / "stable" / "latest.json"));
  ASSERT_TRUE(feed.ok) << feed.error;
  EXPECT_EQ(feed.launcherVersion, "1.0.1");
  EXPECT_EQ(feed.launcherSize, 9u);
  EXPECT_EQ(feed.gameVersion, "1.3.0");
  EXPECT_EQ(feed.gameBuild, 12);
  EXPECT_EQ(feed.gameReleased, "2025-01-02");
  EXPECT_EQ(feed.notes, (std::vector<std::string>{"Faster", "Fixes"}));
  EXPECT_EQ(feed.gameSize, 2621440u + 2 * 3 * 65536u + 19u);

  GameManifest m;
  std::string error;
  const std::string location = resolveUrl(feed.url, feed.gameManifest);
  EXPECT_EQ(location, toUtf8(feed_ / "manifests" / "1.3.0-12.json"));
  ASSERT_TRUE(loadManifest(location, m, error)) << error;
  EXPECT_EQ(m.version, "1.3.0");
  EXPECT_EQ(m.build, 12);
  EXPECT_EQ(m.chunkSize, defaultChunkSize);
  std::vector<std::string> paths;
  for (const ManifestFile& f : m.files) paths.push_back(f.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"Vantor", "data/copy.pak", "data/empty.cfg", "data/level1.pak",
                                             "docs/read me.txt"}));
  ASSERT_EQ(m.files[0].chunks.size(), 3u);
  ASSERT_EQ(m.files[2].chunks.size(), 1u);  // an empty file still has its one chunk
  EXPECT_EQ(m.files[2].chunks[0], sha256Hex(std::string()));
  expectFilesReassemble(m, content_);

  // Nothing is installed, so the estimate is every distinct chunk once.
  EXPECT_EQ(estimateDownload(dir_ / "nothing", m), 2621440u + 3 * 65536u + 19u);

  // Every object in the store holds exactly the bytes its name says, in the
  // folder named by its first two digits.
  size_t objects = 0;
  for (const auto& entry : fs::recursive_directory_iterator(feed_ / "objects")) {
    if (!entry.is_regular_file()) continue;
    ++objects;
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(isValidDigest(name)) << entry.path();
    EXPECT_EQ(entry.path().parent_path().filename().string(), name.substr(0, 2));
    EXPECT_EQ(sha256File(entry.path()), name) << entry.path();
  }
  EXPECT_EQ(objects, 3u + 1u + 1u + 1u);  // Vantor's three, one 192 KiB chunk, empty, read me

  // What the launcher would record after installing it reads back the same.
  ASSERT_TRUE(writeInstalledManifest(dir_.path(), m));
  GameManifest installed;
  ASSERT_TRUE(readInstalledManifest(dir_.path(), installed));
  EXPECT_EQ(manifestToJson(installed), manifestToJson(m));
  EXPECT_EQ(estimateDownload(dir_.path(), m), 0u);
}

TEST_F(ReleaseToolsTest, SmallChunksAndASecondReleaseShareObjects) {
  ASSERT_TRUE(runTool("make_release.py",
                      {toUtf8(content_), toUtf8(feed_), "--version", "1.0", "--build", "1", "--chunk-size", "4096"},
                      log_))
      << log();
  GameManifest first;
  std::string error;
  ASSERT_TRUE(loadManifest(toUtf8(feed_ / "manifests" / "1.0-1.json"), first, error)) << error;
  EXPECT_EQ(first.chunkSize, 4096u);
  EXPECT_EQ(first.files[0].chunks.size(), 640u);
  expectFilesReassemble(first, content_);

  // Change one 4 KiB block of the big file: the next release costs one object.
  std::string big = readFile(content_ / "Vantor");
  big[5000] = static_cast<char>(big[5000] ^ 0x5a);
  writeFile(content_ / "Vantor", big);
  writeFile(log_, "");
  ASSERT_TRUE(runTool("make_release.py",
                      {toUtf8(content_), toUtf8(feed_), "--version", "1.1", "--build", "2", "--chunk-size", "4096"},
                      log_))
      << log();
  EXPECT_NE(log().find(", 1 new objects written"), std::string::npos) << log();
  GameManifest second;
  ASSERT_TRUE(loadManifest(toUtf8(feed_ / "manifests" / "1.1-2.json"), second, error)) << error;
  expectFilesReassemble(second, content_);
  ASSERT_TRUE(writeInstalledManifest(dir_.path(), first));
  EXPECT_EQ(estimateDownload(dir_.path(), second), 4096u);
}

TEST_F(ReleaseToolsTest, LauncherReadsEveryAddonMakeAddonPublishes) {
  const fs::path addon = dir_ / "arena";
  writeFile(addon / "addon.json", R"({"id": "arena-pack", "name": "Arena Pack", "version": "2.1",
                                      "author": "Ana", "description": "Three arenas."})");
  writeFile(addon / "maps" / "arena.map", patterned(1500000, 3));
  const fs::path other = dir_ / "skins";
  writeFile(other / "addon.json", R"({"id": "skins_1", "version": "1"})");
  writeFile(other / "skin.png", patterned(10, 4));
  for (const fs::path& folder : {addon, other}) {
    ASSERT_TRUE(runTool("make_addon.py", {toUtf8(folder), toUtf8(feed_)}, log_)) << log();
  }
  // A new version replaces its entry; the other stays.
  writeFile(addon / "addon.json", R"({"id": "arena-pack", "name": "Arena Pack", "version": "2.2"})");
  ASSERT_TRUE(runTool("make_addon.py", {toUtf8(addon), toUtf8(feed_)}, log_)) << log();

  std::vector<CatalogEntry> catalog;
  std::string error;
  const std::string catalogUrl = toUtf8(feed_ / "addons" / "catalog.json");
  ASSERT_TRUE(fetchCatalog(catalogUrl, catalog, error)) << error;
  ASSERT_EQ(catalog.size(), 2u);
  EXPECT_EQ(catalog[0].id, "arena-pack");
  EXPECT_EQ(catalog[0].version, "2.2");
  EXPECT_EQ(catalog[0].manifest, toUtf8(feed_ / "addons" / "manifests" / "arena-pack-2.2.json"));
  EXPECT_EQ(catalog[1].id, "skins_1");
  EXPECT_EQ(catalog[1].name, "skins_1");

  for (const CatalogEntry& entry : catalog) {
    GameManifest m;
    ASSERT_TRUE(loadManifest(entry.manifest, m, error)) << error;
    EXPECT_EQ(m.version, entry.version);
    uint64_t total = 0;
    std::set<std::string> paths;
    for (const ManifestFile& f : m.files) {
      total += f.size;
      paths.insert(f.path);
    }
    EXPECT_EQ(entry.size, total);
    EXPECT_TRUE(paths.count("addon.json")) << entry.id;
    expectFilesReassemble(m, entry.id == "skins_1" ? other : addon);
    // The add-on's objects live in the feed's one store.
    EXPECT_EQ(objectLocation(m, std::string(64, 'f')).rfind(toUtf8(feed_ / "objects"), 0), 0u);
  }
}

TEST_F(ReleaseToolsTest, BadAddonIdFailsAndTheCatalogStaysReadable) {
  const fs::path good = dir_ / "good";
  writeFile(good / "addon.json", R"({"id": "good", "version": "1"})");
  ASSERT_TRUE(runTool("make_addon.py", {toUtf8(good), toUtf8(feed_)}, log_)) << log();
  const fs::path bad = dir_ / "bad";
  writeFile(bad / "addon.json", R"({"id": "Bad Pack", "version": "1"})");
  EXPECT_FALSE(runTool("make_addon.py", {toUtf8(bad), toUtf8(feed_)}, log_));
  EXPECT_NE(log().find("is not valid"), std::string::npos) << log();

  std::vector<CatalogEntry> catalog;
  std::string error;
  ASSERT_TRUE(fetchCatalog(toUtf8(feed_ / "addons" / "catalog.json"), catalog, error)) << error;
  ASSERT_EQ(catalog.size(), 1u);
  EXPECT_EQ(catalog[0].id, "good");
}

TEST_F(ReleaseToolsTest, FolderFeedFromTheEnvironmentFindsTheRelease) {
  ASSERT_TRUE(runTool("make_release.py", {toUtf8(content_), toUtf8(feed_), "--version", "1.0", "--build", "1"},
                      log_))
      << log();
  ScopedEnv env("VANTOR_UPDATE_FEED", toUtf8(feed_) + "/");
  const std::string url = latestJsonUrl(dir_.path(), "stable");
  Feed feed = fetchFeed(url);
  ASSERT_TRUE(feed.ok) << url << ": " << feed.error;
  GameManifest m;
  std::string error;
  ASSERT_TRUE(loadManifest(resolveUrl(feed.url, feed.gameManifest), m, error)) << error;
  EXPECT_EQ(m.files.size(), 5u);
}

// What the tools sign, the launcher verifies: the key make_key.py prints, the
// .sig beside each document, the serials and expiry, and the pins on every
// manifest named.
TEST_F(ReleaseToolsTest, SignedDocumentsVerifyAndPinWhatTheyName) {
  const fs::path keyFile = dir_ / "feed.pem";
  const std::string command = "python3 " + quoted(std::string(VANTOR_SOURCE_DIR) + "/tools/release/make_key.py") +
                              " " + quoted(toUtf8(keyFile)) + " > " + quoted(toUtf8(dir_ / "public.txt"));
  ASSERT_EQ(std::system(command.c_str()), 0);
  FeedTrust trust = feedTrustFrom("", nlohmann::json::object(), readFile(dir_ / "public.txt"));
  ASSERT_EQ(trust.keys.size(), 1u);
  trust.serialsFile = dir_ / "data" / "feeds.json";
  ASSERT_TRUE(runTool("make_release.py",
                      {toUtf8(content_), toUtf8(feed_), "--version", "1.0", "--build", "1", "--signing-key",
                       toUtf8(keyFile)},
                      log_))
      << log();
  writeFile(dir_ / "pack" / "addon.json", R"({"id": "pack", "version": "1"})");
  ASSERT_TRUE(runTool("make_addon.py", {toUtf8(dir_ / "pack"), toUtf8(feed_), "--signing-key", toUtf8(keyFile)}, log_))
      << log();

  const Feed feed = fetchFeed(toUtf8(feed_ / "stable" / "latest.json"), trust);
  ASSERT_TRUE(feed.ok) << feed.error;
  EXPECT_TRUE(feed.verified);
  EXPECT_GT(feed.serial, 0u);
  GameManifest m;
  std::string error;
  ASSERT_TRUE(loadManifest(resolveUrl(feed.url, feed.gameManifest), gameManifestPin(feed), m, error)) << error;
  EXPECT_EQ(m.files.size(), 5u);

  std::vector<CatalogEntry> catalog;
  ASSERT_TRUE(fetchCatalog(toUtf8(feed_ / "addons" / "catalog.json"), catalog, error, trust)) << error;
  ASSERT_EQ(catalog.size(), 1u);
  ASSERT_TRUE(loadManifest(catalog[0].manifest, manifestPin(catalog[0]), m, error)) << error;
  EXPECT_EQ(m.version, "1");

  // A second publish counts up; the launcher takes it and would refuse the first again.
  const std::string first = readFile(feed_ / "stable" / "latest.json");
  const std::string firstSignature = readFile(feed_ / "stable" / "latest.json.sig");
  ASSERT_TRUE(runTool("make_release.py",
                      {toUtf8(content_), toUtf8(feed_), "--version", "1.1", "--build", "2", "--signing-key",
                       toUtf8(keyFile)},
                      log_))
      << log();
  EXPECT_TRUE(fetchFeed(toUtf8(feed_ / "stable" / "latest.json"), trust).verified);
  writeFile(feed_ / "stable" / "latest.json", first);
  writeFile(feed_ / "stable" / "latest.json.sig", firstSignature);
  EXPECT_EQ(fetchFeed(toUtf8(feed_ / "stable" / "latest.json"), trust).error, olderReleaseText);
}

// The publisher must refuse exactly the path lists the launcher refuses, so it
// never publishes a release every launcher rejects, and never refuses one a
// launcher could install.
TEST(ReleasePathRules, PublisherAndLauncherAgreeOnEveryPathList) {
  const std::vector<std::vector<std::string>> cases = {
      {"a.txt"},
      {"data/big.pak", "readme.txt"},
      {"manifest.json"},
      {"manifest.json.tmp"},
      {"sub/manifest.json.tmp"},
      {".staging/files/x"},
      {".staging"},
      {"x/.staging"},
      {"../outside"},
      {"a/../../outside"},
      {"a/../b"},
      {"/etc/passwd"},
      {"C:x"},
      {"..\\x"},
      {"a\\..\\..\\b"},
      {"a\\b"},
      {"a/b", "a//b"},
      {"x/./y", "x/y"},
      {"a", "a/b"},
      {"a/b/c", "a/b"},
      {"a.b", "a/b"},
      {"dir/", "other"},
      {""},
  };
  const fs::path lib = fs::path(VANTOR_SOURCE_DIR) / "tools" / "release";
  nlohmann::json input = nlohmann::json::array();
  for (const auto& paths : cases) input.push_back(paths);
  TempDir dir;
  writeFile(dir / "cases.json", input.dump());
  const std::string script =
      "import json, sys\n"
      "sys.path.insert(0, sys.argv[1])\n"
      "import release_lib\n"
      "cases = json.load(open(sys.argv[2]))\n"
      "print(json.dumps([release_lib.release_paths_problem(c) is None for c in cases]))\n";
  writeFile(dir / "check.py", script);
  const fs::path out = dir / "out.json";
  const std::string command = "python3 " + quoted(toUtf8(dir / "check.py")) + " " + quoted(toUtf8(lib)) + " " +
                              quoted(toUtf8(dir / "cases.json")) + " > " + quoted(toUtf8(out));
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const nlohmann::json published = nlohmann::json::parse(readFile(out), nullptr, false);
  ASSERT_TRUE(published.is_array() && published.size() == cases.size()) << readFile(out);
  for (size_t i = 0; i < cases.size(); ++i) {
    GameManifest m;
    for (const std::string& path : cases[i]) m.files.push_back({path, 1, std::string(64, 'a'), {}});
    std::string error;
    const bool launcherAccepts = checkManifestPaths(m, error);
    EXPECT_EQ(published[i].get<bool>(), launcherAccepts)
        << nlohmann::json(cases[i]).dump() << ": launcher " << (launcherAccepts ? "accepts" : "refuses (" + error + ")");
  }
}

}  // namespace
}  // namespace launcher
