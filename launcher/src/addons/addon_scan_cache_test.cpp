// The add-on scan's cache is never stale: after every kind of change to the
// add-ons folder or the enabled list, the next cached listing equals a listing
// that reads everything afresh, also when the file changed had settled and
// was being answered from the cache.
#include "addons/addon_scan_cache.h"

#include "data/json_document.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::string describe(const std::vector<AddonInfo>& addons) {
  std::string out;
  for (const AddonInfo& a : addons) {
    out += a.id + "|" + a.name + "|" + a.version + "|" + a.author + "|" + a.description + "|" +
           (a.enabled ? "on" : "off") + "|" + (a.managed ? "managed" : "own") + "|" + a.folder.string() + "\n";
  }
  return out;
}

// Rewrites a file in place (same inode), as an editor or a careless tool does.
void overwriteInPlace(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
  out << text;
}

std::string addonJson(const std::string& name) { return R"({"name": ")" + name + R"(", "version": "1.0"})"; }

class AddonScanCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths.addonsFolder = dir / "addons";
    paths.enabledFile = dir / "addons.json";
    for (int i = 0; i < 10; ++i) {
      const std::string id = "a" + std::to_string(i);
      testing::writeFile(paths.addonsFolder / id / "addon.json", addonJson("Pack " + std::to_string(i)));
    }
    testing::writeFile(paths.enabledFile, R"({"enabled": ["a1", "a2"]})");
  }

  ::testing::AssertionResult same() {
    const std::string fresh = describe(listInstalledAddons(paths, nullptr));
    const std::string fromCache = describe(listInstalledAddons(paths, &cache));
    if (fresh == fromCache) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "cached:\n" << fromCache << "fresh:\n" << fresh;
  }

  // Lists until a listing reads no file: every file is answered from the cache.
  bool settle() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      const uint64_t before = cache.counts().read;
      (void)listInstalledAddons(paths, &cache);
      if (cache.counts().read == before) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  TempDir dir;
  AddonPaths paths;
  AddonScanCache cache;
};

TEST_F(AddonScanCacheTest, EveryChangeToASettledFileShowsInTheNextListing) {
  ASSERT_TRUE(same());
  ASSERT_TRUE(settle());
  const uint64_t reused = cache.counts().reused;
  ASSERT_TRUE(same());
  EXPECT_GE(cache.counts().reused, reused + 11) << "ten add-ons and the list come from the cache";

  // Each change hits a file that the cache answered for until now.
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"addon.json rewritten in place, same size",
       [&] { overwriteInPlace(paths.addonsFolder / "a0" / "addon.json", addonJson("Pock 0")); }},
      {"addon.json replaced by rename",
       [&] { ASSERT_TRUE(writeJsonDocument(paths.addonsFolder / "a3" / "addon.json", {{"name", "Renamed"}})); }},
      {"addon.json removed", [&] { fs::remove(paths.addonsFolder / "a4" / "addon.json"); }},
      {"addon.json no longer an object", [&] { overwriteInPlace(paths.addonsFolder / "a5" / "addon.json", "[1]"); }},
      {"manifest.json added", [&] { testing::writeFile(paths.addonsFolder / "a6" / "manifest.json", "{}"); }},
      {"manifest.json removed", [&] { fs::remove(paths.addonsFolder / "a6" / "manifest.json"); }},
      {"folder removed", [&] { fs::remove_all(paths.addonsFolder / "a7"); }},
      {"folder renamed", [&] { fs::rename(paths.addonsFolder / "a9", paths.addonsFolder / "a9b"); }},
      {"a file in place of a folder",
       [&] {
         fs::remove_all(paths.addonsFolder / "a9b");
         testing::writeFile(paths.addonsFolder / "a9b", "not a folder");
       }},
      {"folder added", [&] { testing::writeFile(paths.addonsFolder / "new" / "addon.json", addonJson("New")); }},
      {"enabled list rewritten in place, same size",
       [&] { overwriteInPlace(paths.enabledFile, R"({"enabled": ["a8", "a2"]})"); }},
      {"enabled list removed", [&] { fs::remove(paths.enabledFile); }},
      {"addon.json back", [&] { testing::writeFile(paths.addonsFolder / "a4" / "addon.json", addonJson("Back")); }},
      {"enabled list back", [&] { testing::writeFile(paths.enabledFile, R"({"enabled": ["a4"]})"); }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    change();
    EXPECT_TRUE(same());
  }
  // Everything settles again (a missing file is asked for every time).
  EXPECT_TRUE(settle());
  EXPECT_TRUE(same());
}

// Changes made faster than any timestamp step: every one of them shows.
TEST_F(AddonScanCacheTest, RapidRewritesOfTheSameSizeAllShow) {
  ASSERT_TRUE(settle());
  std::mt19937 gen(7);
  for (int i = 0; i < 300; ++i) {
    std::string name = "Pack ";
    for (int c = 0; c < 6; ++c) name += static_cast<char>('a' + gen() % 26);
    overwriteInPlace(paths.addonsFolder / ("a" + std::to_string(i % 3)) / "addon.json", addonJson(name));
    const std::vector<AddonInfo> listed = listInstalledAddons(paths, &cache);
    bool shown = false;
    for (const AddonInfo& a : listed) shown = shown || a.name == name;
    ASSERT_TRUE(shown) << "rewrite " << i << " to " << name << " is not shown";
  }
}

}  // namespace
}  // namespace launcher
