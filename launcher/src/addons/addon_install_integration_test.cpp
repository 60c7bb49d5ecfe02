// An add-on published with make_addon.py, served by nginx, installed and
// updated by the add-on job through the folder sync.
#include "addons/addon_jobs.h"
#include "testing/child_process.h"
#include "testing/nginx_server.h"
#include "testing/temp_dir.h"
#include "update/feed.h"

#include <gtest/gtest.h>

#include <memory>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::NginxServer;
using testing::readFile;
using testing::writeFile;

class AddonInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::available()) {
      GTEST_SKIP() << "nginx is not installed at " << NginxServer::binary() << " (scripts/setup.sh installs it)";
    }
    fs::create_directories(feed_);
    fs::create_directories(paths_.enabledFile.parent_path());
    server_ = std::make_unique<NginxServer>(feed_);
    ASSERT_TRUE(server_->started()) << server_->error();
  }

  void publish(const std::string& version, const std::string& mapBytes) {
    writeFile(source_ / "addon.json", R"({"id": "arena-pack", "name": "Arena Pack", "version": ")" + version +
                                          R"(", "author": "Team"})");
    writeFile(source_ / "maps" / "arena.map", mapBytes);
    testing::ProcessResult r = testing::runProcess(
        {"python3", std::string(VANTOR_SOURCE_DIR) + "/tools/release/make_addon.py", source_.string(), feed_.string(),
         "--chunk-size", "65536"},
        120000);
    ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  }

  CatalogEntry catalogEntry() {
    std::vector<CatalogEntry> catalog;
    std::string error;
    EXPECT_TRUE(fetchCatalog(server_->url("/addons/catalog.json"), catalog, error)) << error;
    AddonJobRequest request = findCatalogEntry(catalog, "arena-pack");
    EXPECT_TRUE(request.ok) << request.toast;
    return request.entry;
  }

  AddonJobResult install(const CatalogEntry& entry) {
    std::atomic<bool> cancel{false};
    int reports = 0;
    AddonJobResult result = runAddonInstall(entry, paths_, cancel, [&reports](const Progress&) { ++reports; });
    EXPECT_GT(reports, 0);
    return result;
  }

  testing::TempDir dir_;
  fs::path feed_ = dir_ / "feed";
  fs::path source_ = dir_ / "arena";
  AddonPaths paths_{dir_ / "data" / "addons", dir_ / "data" / "addons.json"};
  fs::path installed_ = paths_.addonsFolder / "arena-pack";
  std::unique_ptr<NginxServer> server_;
};

TEST_F(AddonInstallTest, InstallThenUpdateThroughTheSync) {
  const std::string v1(300000, 'a');
  ASSERT_NO_FATAL_FAILURE(publish("1.0", v1));
  ASSERT_TRUE(writeEnabledAddons(paths_.enabledFile, {"other"}));

  AddonJobResult first = install(catalogEntry());
  ASSERT_EQ(first.error, "");
  EXPECT_EQ(first.toast, "Arena Pack installed");
  EXPECT_EQ(readFile(installed_ / "maps" / "arena.map"), v1);
  EXPECT_EQ(readEnabledAddons(paths_.enabledFile), (std::vector<std::string>{"other", "arena-pack"}));
  std::vector<AddonInfo> listed = listInstalledAddons(paths_);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_TRUE(listed[0].managed);
  EXPECT_TRUE(listed[0].enabled);
  EXPECT_EQ(listed[0].version, "1.0");

  // The player disables it; the update keeps it disabled.
  ASSERT_TRUE(setAddonEnabled(paths_.enabledFile, "arena-pack", false));
  std::string v2 = v1;
  v2.replace(100000, 5, "CHANG");
  ASSERT_NO_FATAL_FAILURE(publish("1.1", v2));
  const uint64_t objectBytesBefore = server_->bytesServed("/objects/");
  AddonJobResult update = install(catalogEntry());
  ASSERT_EQ(update.error, "");
  EXPECT_EQ(update.toast, "Arena Pack updated");
  EXPECT_EQ(readFile(installed_ / "maps" / "arena.map"), v2);
  EXPECT_EQ(readEnabledAddons(paths_.enabledFile), std::vector<std::string>{"other"});
  listed = listInstalledAddons(paths_);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].version, "1.1");
  EXPECT_FALSE(listed[0].enabled);
  // Only the changed chunk of the map and the new addon.json travelled.
  // (nginx logs a request once it is answered, which the sync waited for.)
  EXPECT_LE(server_->bytesServed("/objects/") - objectBytesBefore, 70000u);
}

TEST_F(AddonInstallTest, InstallOverAHandCopyIsAFirstInstall) {
  ASSERT_NO_FATAL_FAILURE(publish("2.0", std::string(1000, 'm')));
  writeFile(installed_ / "addon.json", R"({"name": "Arena Pack", "version": "0.1"})");
  writeFile(installed_ / "stale.txt", "from the hand copy");
  ASSERT_TRUE(writeEnabledAddons(paths_.enabledFile, {"arena-pack", "other"}));

  AddonJobResult result = install(catalogEntry());
  ASSERT_EQ(result.error, "");
  EXPECT_EQ(result.toast, "Arena Pack installed");
  EXPECT_EQ(readEnabledAddons(paths_.enabledFile), (std::vector<std::string>{"other", "arena-pack"}));
  std::vector<AddonInfo> listed = listInstalledAddons(paths_);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_TRUE(listed[0].managed);
  EXPECT_EQ(listed[0].version, "2.0");
}

TEST_F(AddonInstallTest, AnInstallThatIsCancelledLeavesTheEnabledListAlone) {
  ASSERT_NO_FATAL_FAILURE(publish("1.0", std::string(1000, 'm')));
  std::atomic<bool> cancel{true};
  AddonJobResult result = runAddonInstall(catalogEntry(), paths_, cancel, {});
  EXPECT_EQ(result.error, "Cancelled");
  EXPECT_EQ(result.toast, "");
  EXPECT_TRUE(readEnabledAddons(paths_.enabledFile).empty());
  EXPECT_TRUE(listInstalledAddons(paths_).empty());
}

}  // namespace
}  // namespace launcher
