// The state document with the add-on listing the scan's cache keeps between
// documents is the document a fresh scan gives, for add-ons of every kind,
// and stays so after each change on disk.
#include "addons/addon_registry.h"
#include "addons/addon_scan_cache.h"
#include "app/launcher_app.h"
#include "data/json_document.h"
#include "data/paths.h"
#include "testing/app_harness.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class StateDocumentTest : public ::testing::Test {
 protected:
  StateDocumentTest() {
    const fs::path addons = addonsFolder();
    for (int i = 0; i < 12; ++i) {
      const std::string id = "pack-" + std::to_string(i);
      json info{{"name", i % 4 == 0 ? "Pack \"" + std::to_string(i) + "\" \xC3\xA9t\xC3\xA9" : "Pack " + std::to_string(i)},
                {"version", "1." + std::to_string(i)},
                {"author", "Someone"},
                {"description", std::string(40 + i, 'd')}};
      if (i == 5) info.erase("name");  // the id stands in
      if (i == 6) info["version"] = 7;  // not text: left empty
      fs::create_directories(addons / id);
      EXPECT_TRUE(writeJsonDocument(addons / id / "addon.json", info));
      if (i % 3 == 0) testing::writeFile(addons / id / "manifest.json", "{}");
    }
    testing::writeFile(addons / "not-an-object" / "addon.json", "[1, 2]");
    fs::create_directories(addons / "no-addon-json");
    testing::writeFile(addons / "Bad Name!" / "addon.json", R"({"name": "never listed"})");
    testing::writeFile(addons / "stray-file", "a file, not a folder");
    EXPECT_TRUE(writeEnabledAddons(defaultAddonPaths().enabledFile, {"pack-7", "gone", "pack-2", "pack-0", "pack-11"}));
    LauncherAppProbe::setCatalog(h->app(), {{"pack-0", "Pack 0", "2.0", "Maker", "newer", "", 10, "", 0},
                                            {"pack-3", "Pack 3", "1.3", "Maker", "same", "", 20, "", 0},
                                            {"only-offered", "Offered", "1.0", "Maker", "not installed", "", 30, "", 0}});
  }

  // The documents from the cache and from a fresh scan, as text.
  ::testing::AssertionResult sameAsFresh() {
    const std::string kept = h->app().buildState().dump();
    const std::string fresh =
        LauncherAppProbe::buildStateWithAddons(h->app(), listInstalledAddons(defaultAddonPaths(), nullptr)).dump();
    if (kept == fresh) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "kept:\n" << kept << "\nfresh:\n" << fresh;
  }

  // Builds documents until one reads no file.
  bool settle() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      const uint64_t before = LauncherAppProbe::addonScanCounts(h->app()).read;
      (void)h->app().buildState();
      if (LauncherAppProbe::addonScanCounts(h->app()).read == before) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  testing::TempDir dir;
  std::unique_ptr<testing::AppHarness> h = std::make_unique<testing::AppHarness>(dir / "launcher");
};

TEST_F(StateDocumentTest, KeptAddonListingGivesTheDocumentOfAFreshScan) {
  ASSERT_TRUE(sameAsFresh());
  ASSERT_TRUE(settle());
  const AddonScanCache::Counts before = LauncherAppProbe::addonScanCounts(h->app());
  ASSERT_TRUE(sameAsFresh());
  const AddonScanCache::Counts after = LauncherAppProbe::addonScanCounts(h->app());
  EXPECT_EQ(after.read, before.read) << "the settled listing is answered without reading";
  EXPECT_GE(after.reused, before.reused + 13) << "twelve add-ons and the list come from the cache";
  const json doc = h->app().buildState();
  ASSERT_EQ(doc["addons"]["installed"].size(), 12u);
  EXPECT_EQ(doc["addons"]["installed"][0]["id"], "pack-7") << "the enabled list's order comes first";

  const fs::path addons = addonsFolder();
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"addon.json rewritten in place",
       [&] {
         std::ofstream out(addons / "pack-1" / "addon.json", std::ios::binary | std::ios::trunc);
         out << R"({"name": "Pick 1", "version": "1.1"})";
       }},
      {"manifest.json added", [&] { testing::writeFile(addons / "pack-1" / "manifest.json", "{}"); }},
      {"manifest.json removed", [&] { fs::remove(addons / "pack-0" / "manifest.json"); }},
      {"folder renamed", [&] { fs::rename(addons / "pack-2", addons / "pack-2b"); }},
      {"enabled list changed", [&] { ASSERT_TRUE(writeEnabledAddons(defaultAddonPaths().enabledFile, {"pack-2b"})); }},
      {"addon.json made valid", [&] { testing::writeFile(addons / "not-an-object" / "addon.json", "{}"); }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(settle());
    change();
    EXPECT_TRUE(sameAsFresh());
  }
}

}  // namespace
}  // namespace launcher
