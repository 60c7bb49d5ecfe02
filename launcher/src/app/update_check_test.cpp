// The update check against an in-process server whose answers the test
// scripts: one check at a time, a channel switch followed by a check of the
// new channel, the server status, and the automatic updates.
#include "app/launcher_app.h"

#include "platform/platform.h"
#include "testing/app_harness.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::AppHarness;
using testing::TempDir;
using testing::TestHttpServer;
using testing::TestResponse;

TestResponse jsonAnswer(const json& doc, int delayMs = 0) {
  TestResponse r;
  r.body = doc.dump();
  r.contentType = "application/json";
  r.delayMs = delayMs;
  return r;
}

json latest(const std::string& version, int build, const std::string& manifest = "../m.json") {
  return {{"game", {{"version", version}, {"build", build}, {"manifest", manifest}, {"size", 100}}},
          {"launcher", {{"version", "1.0.0"}}}};
}

TEST(CoreThreadsUpdateCheckTest, ChannelSwitchDuringACheckIsFollowedByACheckOfTheNewChannel) {
  TestHttpServer server;
  server.serve("/stable/latest.json", jsonAnswer(latest("1.0", 1), 700));
  server.serve("/beta/latest.json", jsonAnswer(latest("2.0-beta", 5)));
  TempDir dir;
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "ready"}});
  ASSERT_FALSE(h.waitForState([](const json& s) { return s["feed"]["checking"] == true; }).is_null());
  h.command({{"cmd", "setPrefs"}, {"prefs", {{"channel", "beta"}}}});  // dropped: a check runs
  const json done = h.waitForState([](const json& s) {
    return s["feed"]["checking"] == false && s["game"]["latestVersion"] == "2.0-beta";
  });
  ASSERT_FALSE(done.is_null()) << "the new channel was never checked";
  EXPECT_EQ(server.requestCount("/stable/latest.json"), 1);
  EXPECT_EQ(server.requestCount("/beta/latest.json"), 1);
  EXPECT_EQ(done["game"]["latestBuild"], 5);
}

TEST(CoreThreadsUpdateCheckTest, ASecondRequestWhileOneRunsStartsNothing) {
  TestHttpServer server;
  server.serve("/stable/latest.json", jsonAnswer(latest("1.0", 1), 300));
  TempDir dir;
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "checkUpdates"}});
  h.command({{"cmd", "checkUpdates"}});
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  h.pumpUntil([] { return false; }, 100);
  EXPECT_EQ(server.requestCount("/stable/latest.json"), 1);
  // Once it has finished, the next request checks again.
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  EXPECT_EQ(server.requestCount("/stable/latest.json"), 2);
}

TEST(CoreThreadsUpdateCheckTest, StatusAndCatalogueComeFromAnHttpFeed) {
  TestHttpServer server;
  server.serve("/stable/latest.json", jsonAnswer(latest("1.0", 1)));
  server.serve("/api/status", jsonAnswer({{"name", "Vantor One"}, {"playerCount", 3}, {"maxPlayers", 64}}));
  server.serve("/addons/catalog.json",
               jsonAnswer({{"addons", {{{"id", "skins"}, {"manifest", "skins.json"}, {"version", "1.2"}}}}}));
  TempDir dir;
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  const json s = h.shell().lastState();
  EXPECT_EQ(s["server"]["name"], "Vantor One");
  EXPECT_EQ(s["server"]["playerCount"], 3);
  ASSERT_EQ(s["addons"]["catalog"].size(), 1u);
  EXPECT_EQ(s["addons"]["catalog"][0]["id"], "skins");
  EXPECT_EQ(s["addons"]["catalog"][0]["name"], "skins");
  EXPECT_EQ(s["addons"]["catalog"][0]["queued"], false);
}

TEST(CoreThreadsUpdateCheckTest, FailedCheckReplacesEverythingAndAFileFeedAsksNoStatus) {
  TempDir dir;
  testing::writeFile(dir / "feed" / "stable" / "latest.json", "[1, 2]");
  testing::writeFile(dir / "feed" / "addons" / "catalog.json", R"([{"id":"skins","manifest":"s.json"}])");
  AppHarness h(dir / "launcher", (dir / "feed").string() + "/");
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  const json s = h.shell().lastState();
  EXPECT_EQ(s["feed"]["ok"], false);
  EXPECT_EQ(s["feed"]["error"], "The update server sent something unreadable");
  EXPECT_EQ(s["server"], json::object());
  EXPECT_EQ(s["addons"]["catalog"].size(), 1u) << "the catalogue does not depend on latest.json";
}

TEST(CoreThreadsUpdateCheckTest, FeedComesFromTheEnvironmentThenUpdateJson) {
  TempDir dir;
  testing::writeFile(dir / "env-feed" / "stable" / "latest.json", latest("3.0", 3).dump());
  testing::writeFile(dir / "json-feed" / "stable" / "latest.json", latest("2.0", 2).dump());
  testing::writeFile(dir / "launcher" / "update.json", json({{"feed", (dir / "json-feed").string()}}).dump());
  {
    AppHarness h(dir / "launcher", (dir / "env-feed").string() + "//");
    h.command({{"cmd", "checkUpdates"}});
    ASSERT_TRUE(h.waitForCheck());
    EXPECT_EQ(h.shell().lastState()["game"]["latestVersion"], "3.0");
    EXPECT_EQ(h.shell().lastState()["mode"], "installed") << "update.json makes an installed copy";
  }
  AppHarness h(dir / "launcher", std::nullopt);
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  EXPECT_EQ(h.shell().lastState()["game"]["latestVersion"], "2.0");
}

// The automatic update of the game: the executable exists, the installed
// version is older, and the release's manifest answers 404, so the queued
// job fails at once with that text.
class CoreThreadsAutoUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.serve("/stable/latest.json", jsonAnswer(latest("2.0", 2, "../missing.json")));
    testing::writeFile(dir / "launcher" / "game" / gameExecutableName, "");
    testing::writeFile(dir / "launcher" / "game" / "manifest.json",
                       R"({"version":"1.0","build":1,"chunkSize":1048576,"files":[]})");
  }
  std::string failure() const { return "Server answered 404 for " + server.url("/missing.json"); }

  TestHttpServer server;
  TempDir dir;
};

TEST_F(CoreThreadsAutoUpdateTest, TheFirstCheckQueuesTheGameUpdate) {
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.pumpUntil([&] {
    const auto t = h.shell().toasts();
    return std::find(t.begin(), t.end(), failure()) != t.end();
  })) << "no game job ran";
}

TEST_F(CoreThreadsAutoUpdateTest, NothingIsQueuedByAManualCheckOrWhileTheGameRuns) {
  {
    AppHarness h(dir / "launcher", server.url(""));
    h.command({{"cmd", "checkUpdates"}});
    ASSERT_TRUE(h.waitForCheck());
    h.pumpUntil([] { return false; }, 200);
    EXPECT_EQ(h.shell().lastState()["queue"], json::array());
    EXPECT_EQ(h.shell().lastState()["game"]["status"], "update");
    EXPECT_TRUE(h.shell().toasts().empty());
  }
  for (bool lockHeld : {true, false}) {
    AppHarness h(dir / "launcher", server.url(""));
    GameLock game;
    std::string error;
    if (lockHeld) {
      ASSERT_TRUE(game.acquire(error)) << error;
    } else {
      LauncherAppProbe::setGameRunning(h.app(), true);  // started, lock not taken yet
    }
    h.command({{"cmd", "ready"}});
    ASSERT_TRUE(h.waitForCheck());
    h.pumpUntil([] { return false; }, 200);
    EXPECT_EQ(h.shell().lastState()["queue"], json::array()) << "lock " << lockHeld;
    EXPECT_EQ(h.shell().lastState()["game"]["status"], "running");
    EXPECT_TRUE(h.shell().toasts().empty());
  }
}

TEST_F(CoreThreadsAutoUpdateTest, TurnedOffInThePreferencesQueuesNothing) {
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "setPrefs"}, {"prefs", {{"autoUpdateGame", false}}}});
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  h.pumpUntil([] { return false; }, 200);
  EXPECT_TRUE(h.shell().toasts().empty());
  EXPECT_EQ(h.shell().lastState()["queue"], json::array());
}

}  // namespace
}  // namespace launcher
