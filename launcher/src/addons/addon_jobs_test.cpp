#include "addons/addon_jobs.h"

#include "testing/game_process.h"
#include "testing/linux_only.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"

#include <gtest/gtest.h>

#include <system_error>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::writeFile;

class AddonJobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(paths_.addonsFolder / "pack" / "addon.json", R"({"name": "Pack"})");
    writeFile(paths_.addonsFolder / "pack" / "maps" / "one.map", "map");
    ASSERT_TRUE(writeEnabledAddons(paths_.enabledFile, {"other", "pack"}));
  }

  testing::TempDir dir_;
  AddonPaths paths_{dir_ / "addons", dir_ / "addons.json"};
};

TEST_F(AddonJobsTest, CatalogueLookupIsExact) {
  std::vector<CatalogEntry> catalog = {{"pack", "Pack", "1", "", "", "http://s/a.json", 1, "", 0},
                                       {"pack", "Second", "2", "", "", "http://s/b.json", 1, "", 0}};
  AddonJobRequest found = findCatalogEntry(catalog, "pack");
  ASSERT_TRUE(found.ok);
  EXPECT_EQ(found.entry.name, "Pack");
  for (const char* id : {"Pack", "pack ", "pac", ""}) {
    AddonJobRequest missing = findCatalogEntry(catalog, id);
    EXPECT_FALSE(missing.ok) << id;
    EXPECT_EQ(missing.toast, "That addon isn't on the server") << id;
  }
}

TEST_F(AddonJobsTest, RemovalRefusalsChangeNothing) {
  struct Case {
    const char* what;
    std::string id;
    bool gameRunning;
    bool queued;
    std::string toast;
  };
  const Case cases[] = {
      {"capitals", "Pack", false, false, ""},
      {"a dot", "pa.ck", false, false, ""},
      {"a path", "../addons", false, false, ""},
      {"game running", "pack", true, false, "Close the game first"},
      {"job queued", "pack", false, true, "Wait for its download to finish, or cancel it"},
      {"no folder", "other", false, false, "That addon is already gone"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(removeInstalledAddon(c.id, paths_, c.gameRunning, c.queued).toast, c.toast) << c.what;
    EXPECT_TRUE(fs::exists(paths_.addonsFolder / "pack" / "maps" / "one.map")) << c.what;
    EXPECT_EQ(readEnabledAddons(paths_.enabledFile), (std::vector<std::string>{"other", "pack"})) << c.what;
  }
  // A folder without addon.json is gone as far as the registry knows; its
  // files and the enabled list stay.
  fs::remove(paths_.addonsFolder / "pack" / "addon.json");
  EXPECT_EQ(removeInstalledAddon("pack", paths_, false, false).toast, "That addon is already gone");
  EXPECT_TRUE(fs::exists(paths_.addonsFolder / "pack" / "maps" / "one.map"));
  EXPECT_EQ(readEnabledAddons(paths_.enabledFile), (std::vector<std::string>{"other", "pack"}));
}

TEST_F(AddonJobsTest, RemovalDeletesTheFolderAfterLeavingTheEnabledList) {
  VANTOR_LINUX_ONLY("symbolic links a test makes (wine's CreateSymbolicLinkW makes none)");
  writeFile(dir_ / "outside" / "keep.txt", "keep");
  fs::create_directory_symlink(dir_ / "outside", paths_.addonsFolder / "pack" / "link");
  EXPECT_EQ(removeInstalledAddon("pack", paths_, false, false).toast, "Addon removed");
  EXPECT_FALSE(fs::exists(paths_.addonsFolder / "pack"));
  EXPECT_EQ(readEnabledAddons(paths_.enabledFile), std::vector<std::string>{"other"});
  EXPECT_EQ(testing::readFile(dir_ / "outside" / "keep.txt"), "keep");
}

TEST_F(AddonJobsTest, RemovalThatFailsPartWaySaysSoAndIsNoLongerEnabled) {
  testing::ScopedImmutable locked(paths_.addonsFolder / "pack" / "maps" / "one.map");
  if (!locked.ok()) GTEST_SKIP() << locked.skipReason();
  EXPECT_EQ(removeInstalledAddon("pack", paths_, false, false).toast,
            "Couldn't remove all of it: " + std::make_error_code(std::errc::operation_not_permitted).message());
  EXPECT_TRUE(fs::exists(paths_.addonsFolder / "pack" / "maps" / "one.map"));
  EXPECT_EQ(readEnabledAddons(paths_.enabledFile), std::vector<std::string>{"other"});
}

TEST_F(AddonJobsTest, AManifestThatCannotBeLoadedFailsTheJobAndChangesNothing) {
  testing::TestHttpServer server;
  testing::TestResponse html;
  html.status = 500;
  html.body = "<html>oops</html>";
  server.serve("/addons/manifests/fresh-1.json", html);
  CatalogEntry entry{"fresh", "Fresh", "1", "", "", server.url("/addons/manifests/fresh-1.json"), 1, "", 0};
  std::atomic<bool> cancel{false};
  AddonJobResult result = runAddonInstall(entry, paths_, cancel, {});
  EXPECT_FALSE(result.error.empty());
  EXPECT_EQ(result.toast, "");
  EXPECT_FALSE(fs::exists(paths_.addonsFolder / "fresh"));
  EXPECT_EQ(readEnabledAddons(paths_.enabledFile), (std::vector<std::string>{"other", "pack"}));
}

TEST_F(AddonJobsTest, AnEntryWithAnInvalidIdNeverTouchesAFolder) {
  std::atomic<bool> cancel{false};
  CatalogEntry entry{"../escape", "Escape", "1", "", "", "http://127.0.0.1:1/x.json", 1, "", 0};
  AddonJobResult result = runAddonInstall(entry, paths_, cancel, {});
  EXPECT_EQ(result.error, "That addon isn't on the server");
  EXPECT_FALSE(fs::exists(dir_ / "escape"));
}

}  // namespace
}  // namespace launcher
