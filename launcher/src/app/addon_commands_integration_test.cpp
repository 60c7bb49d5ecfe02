// Add-ons through the page's commands: an add-on published with make_addon.py
// and served by nginx is installed, updated and removed by the application,
// its catalogue read by the update check, its files by the folder sync.
#include "app/launcher_app.h"

#include "addons/addon_registry.h"
#include "data/paths.h"
#include "platform/platform.h"
#include "update/feed.h"
#include "testing/app_harness.h"
#include "testing/child_process.h"
#include "testing/nginx_server.h"
#include "testing/release_feed.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::AppHarness;
using testing::NginxServer;

class GlueThreadsAddonCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs it)";
    fs::create_directories(dir / "feed");
    server = std::make_unique<NginxServer>(dir / "feed");
    ASSERT_TRUE(server->started()) << server->error();
  }

  void publish(const std::string& version, const std::string& mapBytes) {
    testing::writeFile(dir / "arena" / "addon.json",
                       json({{"id", "arena-pack"}, {"name", "Arena Pack"}, {"version", version}, {"author", "Team"}})
                           .dump());
    testing::writeFile(dir / "arena" / "maps" / "arena.map", mapBytes);
    const testing::ProcessResult r = testing::runProcess(
        {"python3", std::string(VANTOR_SOURCE_DIR) + "/tools/release/make_addon.py", (dir / "arena").string(),
         (dir / "feed").string(), "--chunk-size", "65536"},
        120000);
    ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  }

  // The "installed" element of the add-on in a state, or null.
  static json installed(const json& state, const std::string& id) {
    for (const json& a : state["addons"]["installed"]) {
      if (a["id"] == id) return a;
    }
    return nullptr;
  }

  // Runs a command whose job must end; the toasts shown meanwhile.
  static std::vector<std::string> runJob(AppHarness& h, const json& command) {
    const size_t before = h.shell().toasts().size();
    h.command(command);
    EXPECT_TRUE(h.waitForIdleQueue(120000));
    h.pump();
    const auto all = h.shell().toasts();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
  }

  testing::TempDir dir;
  std::unique_ptr<NginxServer> server;
};

TEST_F(GlueThreadsAddonCommandsTest, InstallUpdateAndRemoveThroughTheCommands) {
  const std::string v1(300000, 'a');
  ASSERT_NO_FATAL_FAILURE(publish("1.0", v1));
  AppHarness h(dir / "launcher", server->url(""));
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  json s = h.shell().lastState();
  ASSERT_EQ(s["addons"]["catalog"].size(), 1u) << s["addons"].dump();
  EXPECT_EQ(s["addons"]["catalog"][0]["installed"], false);
  ASSERT_TRUE(setAddonEnabled("other-pack", true));  // enabled earlier; not installed

  // Asked twice before the worker starts: one job.
  h.command({{"cmd", "addonInstall"}, {"addon", "arena-pack"}});
  h.command({{"cmd", "addonInstall"}, {"addon", "arena-pack"}});
  const json queued = h.waitForState([](const json& st) { return !st["queue"].empty(); });
  ASSERT_FALSE(queued.is_null());
  EXPECT_EQ(queued["queue"].size(), 1u);
  EXPECT_EQ(queued["queue"][0]["kind"], "addon");
  EXPECT_EQ(queued["queue"][0]["label"], "Arena Pack");
  ASSERT_TRUE(h.waitForIdleQueue(120000));
  h.pumpUntil([&] { return !h.shell().toasts().empty(); });
  EXPECT_EQ(h.shell().toasts(), std::vector<std::string>{"Arena Pack installed"});
  s = h.app().buildState();
  json arena = installed(s, "arena-pack");
  ASSERT_FALSE(arena.is_null()) << s["addons"].dump();
  EXPECT_EQ(arena["version"], "1.0");
  EXPECT_EQ(arena["enabled"], true);
  EXPECT_EQ(arena["managed"], true);
  EXPECT_EQ(arena["update"], false);
  EXPECT_EQ(s["addons"]["catalog"][0]["installed"], true);
  EXPECT_EQ(readEnabledAddons(), (std::vector<std::string>{"other-pack", "arena-pack"}));
  EXPECT_EQ(testing::readFile(addonsFolder() / "arena-pack" / "maps" / "arena.map"), v1);

  // A newer version on the server; the player had disabled the add-on.
  h.command({{"cmd", "addonEnable"}, {"addon", "arena-pack"}, {"enabled", false}});
  std::string v2 = v1;
  v2.replace(70000, 5, "fresh");
  ASSERT_NO_FATAL_FAILURE(publish("2.0", v2));
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  arena = installed(h.shell().lastState(), "arena-pack");
  EXPECT_EQ(arena["update"], true);
  EXPECT_EQ(arena["latest"], "2.0");
  const size_t logged = server->accessLog().size();
  EXPECT_EQ(runJob(h, {{"cmd", "addonInstall"}, {"addon", "arena-pack"}}),
            std::vector<std::string>{"Arena Pack updated"});
  EXPECT_EQ(testing::readFile(addonsFolder() / "arena-pack" / "maps" / "arena.map"), v2);
  arena = installed(h.app().buildState(), "arena-pack");
  EXPECT_EQ(arena["version"], "2.0");
  EXPECT_EQ(arena["update"], false);
  EXPECT_EQ(arena["enabled"], false) << "an update keeps the add-on disabled";
  EXPECT_EQ(readEnabledAddons(), std::vector<std::string>{"other-pack"});
  // nginx logs a request once it has answered it: wait for the lines.
  auto fetched = [&] {
    auto log = server->accessLog();
    log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(std::min(logged, log.size())));
    return testing::objectRequests(log);
  };
  h.pumpUntil([&] { return fetched().size() >= 2; }, 10000);
  EXPECT_EQ(fetched().size(), 2u) << "only the changed chunk of the map and the new addon.json travel";

  // Removal: refused while the game runs, then done.
  GameLock game;
  std::string error;
  ASSERT_TRUE(game.acquire(error)) << error;
  h.command({{"cmd", "addonRemove"}, {"addon", "arena-pack"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts().back(), "Close the game first");
  EXPECT_TRUE(fs::exists(addonsFolder() / "arena-pack" / "addon.json"));
  game.release();
  h.command({{"cmd", "addonEnable"}, {"addon", "arena-pack"}});
  h.command({{"cmd", "addonRemove"}, {"addon", "arena-pack"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts().back(), "Addon removed");
  EXPECT_FALSE(fs::exists(addonsFolder() / "arena-pack"));
  EXPECT_EQ(readEnabledAddons(), std::vector<std::string>{"other-pack"});
  s = h.app().buildState();
  EXPECT_TRUE(installed(s, "arena-pack").is_null());
  EXPECT_EQ(s["addons"]["catalog"][0]["installed"], false);
  h.command({{"cmd", "addonRemove"}, {"addon", "arena-pack"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts().back(), "That addon is already gone");
}

// The check "ready" starts updates managed add-ons on its own (the player's
// automatic updates are on by default); a hand-copied one is never touched.
TEST_F(GlueThreadsAddonCommandsTest, TheFirstCheckUpdatesManagedAddonsOnItsOwn) {
  ASSERT_NO_FATAL_FAILURE(publish("1.0", std::string(100000, 'a')));
  AppHarness h(dir / "launcher", server->url(""));
  // Installed before this run's first check: the catalogue as an earlier run saw it.
  std::vector<CatalogEntry> catalog;
  std::string error;
  ASSERT_TRUE(fetchCatalog(server->url("/addons/catalog.json"), catalog, error)) << error;
  LauncherAppProbe::setCatalog(h.app(), catalog);
  ASSERT_EQ(runJob(h, {{"cmd", "addonInstall"}, {"addon", "arena-pack"}}),
            std::vector<std::string>{"Arena Pack installed"});
  ASSERT_NO_FATAL_FAILURE(publish("1.1", std::string(100000, 'b')));
  testing::writeFile(dir / "hand" / "addon.json", R"({"id":"hand-pack","name":"Hand Pack","version":"9.0"})");
  testing::writeFile(dir / "hand" / "data.bin", "published");
  ASSERT_EQ(testing::runProcess({"python3", std::string(VANTOR_SOURCE_DIR) + "/tools/release/make_addon.py",
                                 (dir / "hand").string(), (dir / "feed").string()})
                .exitCode,
            0);
  testing::writeFile(addonsFolder() / "hand-pack" / "addon.json", R"({"name":"Hand Pack","version":"1.0"})");

  const size_t toasts = h.shell().toasts().size();
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  ASSERT_TRUE(h.pumpUntil([&] { return h.shell().toasts().size() > toasts; }, 120000));
  EXPECT_EQ(h.shell().toasts().back(), "Arena Pack updated");
  const json s = h.app().buildState();
  EXPECT_EQ(installed(s, "arena-pack")["version"], "1.1");
  EXPECT_EQ(installed(s, "hand-pack")["version"], "1.0");
  EXPECT_EQ(installed(s, "hand-pack")["update"], false);
  EXPECT_FALSE(fs::exists(addonsFolder() / "hand-pack" / "data.bin")) << "a hand-copied add-on was synced";
}

}  // namespace
}  // namespace launcher
