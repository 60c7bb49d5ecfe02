// The update check against an in-process server whose answers the test
// scripts: one check at a time, a channel switch followed by a check of the
// new channel, the server status, and the automatic updates.
#include "app/launcher_app.h"

#include "platform/platform.h"
#include "testing/app_harness.h"
#include "testing/feed_signer.h"
#include "testing/log_capture.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"
#include "update/manifest.h"
#include "update/sha256.h"
#include "update/weak_checksum.h"

#include "update/feed_trust.h"

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

TestResponse held(TestResponse r) {
  r.hold = true;  // until releaseHeld(): the check is certainly still running
  return r;
}

TEST(CoreThreadsUpdateCheckTest, ChannelSwitchDuringACheckIsFollowedByACheckOfTheNewChannel) {
  TestHttpServer server;
  server.serve("/stable/latest.json", held(jsonAnswer(latest("1.0", 1))));
  server.serve("/beta/latest.json", jsonAnswer(latest("2.0-beta", 5)));
  TempDir dir;
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.pumpUntil([&] { return server.heldCount() == 1; })) << "the check never asked";
  h.command({{"cmd", "setPrefs"}, {"prefs", {{"channel", "beta"}}}});  // dropped: a check runs
  EXPECT_EQ(h.app().buildState()["feed"]["checking"], true);
  EXPECT_EQ(server.requestCount("/beta/latest.json"), 0) << "a second check ran beside the first";
  server.releaseHeld();
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
  server.serve("/stable/latest.json", held(jsonAnswer(latest("1.0", 1))));
  TempDir dir;
  testing::LogCapture log;
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.pumpUntil([&] { return server.heldCount() == 1; })) << "the check never asked";
  // Both arrive while the first check certainly runs.
  h.command({{"cmd", "checkUpdates"}});
  h.command({{"cmd", "ready"}});
  server.releaseHeld();
  ASSERT_TRUE(h.waitForCheck());
  // Once it has finished, the next request checks again. A start joins the
  // last check's thread first, so a check the requests above had started
  // would have asked and logged before this one: the counts include it.
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  EXPECT_EQ(server.requestCount("/stable/latest.json"), 2);
  size_t checks = 0;
  for (const std::string& line : log.messages("info")) checks += line.rfind("Feed ", 0) == 0 ? 1 : 0;
  EXPECT_EQ(checks, 2u);
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

// A feed over clear text to another machine: refused before a connection,
// with the text the page shows, and no account features (a password would
// travel in clear).
TEST(CoreThreadsUpdateCheckTest, RemoteClearTextFeedIsRefusedAndHasNoAccount) {
  TempDir dir;
  AppHarness h(dir / "launcher", "http://updates.example.invalid/feed");
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  const json s = h.shell().lastState();
  EXPECT_EQ(s["feed"]["ok"], false);
  EXPECT_EQ(s["feed"]["error"], "The update server must use https");
  EXPECT_EQ(s["account"]["available"], false);
  EXPECT_EQ(s["account"]["site"], "");
}

// The server's status answer is the server's text: the page gets only what it
// shows, each of the type it expects.
TEST(CoreThreadsUpdateCheckTest, StatusReachesThePageWithOnlyWhatItShows) {
  TestHttpServer server;
  server.serve("/stable/latest.json", jsonAnswer(latest("1.0", 1)));
  server.serve("/api/status", jsonAnswer({{"name", "Vantor One"},
                                          {"playerCount", 3},
                                          {"maxPlayers", "64"},
                                          {"address", "play.example.com:3000"},
                                          {"motd", "<img src=x onerror=alert(1)>"},
                                          {"nested", {{"deep", std::string(100000, 'x')}}}}));
  TempDir dir;
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  EXPECT_EQ(h.shell().lastState()["server"], json({{"name", "Vantor One"}, {"playerCount", 3}}));

  server.serve("/api/status", jsonAnswer({{"name", std::string(201, 'n')}, {"playerCount", -1}, {"maxPlayers", 64}}));
  h.command({{"cmd", "checkUpdates"}});
  const json next = h.waitForState([](const json& s) { return s["server"].contains("maxPlayers"); });
  ASSERT_FALSE(next.is_null());
  EXPECT_EQ(next["server"], json({{"maxPlayers", 64}}));
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

// The size the page shows counts only what the update would fetch: the
// chunks it finds at a new offset of the installed file are not among it.
TEST(CoreThreadsUpdateCheckTest, DownloadSizeLeavesOutChunksFoundMovedInTheInstalledFiles) {
  TempDir dir;
  constexpr uint64_t chunk = 4096;
  std::string v1(40 * chunk, '\0');
  uint32_t x = 7;
  for (char& c : v1) c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
  const std::string v2 = v1.substr(0, chunk + 5) + "0123456789" + v1.substr(chunk + 5);
  auto release = [&](const std::string& bytes, const std::string& version) {
    GameManifest m;
    m.version = version;
    m.chunkSize = chunk;
    m.weakKind = weakChecksumKind;
    ManifestFile f;
    f.path = "a.pak";
    f.size = bytes.size();
    f.sha256 = sha256Hex(bytes);
    for (uint64_t at = 0; at < bytes.size(); at += chunk) {
      const std::string piece = bytes.substr(at, chunk);
      f.chunks.push_back(sha256Hex(piece));
      f.weak.push_back(weakChecksum(piece.data(), piece.size()));
    }
    m.files.push_back(f);
    return m;
  };
  const fs::path game = dir / "launcher" / "game";
  testing::writeFile(game / "a.pak", v1);
  ASSERT_TRUE(writeInstalledManifest(game, release(v1, "1.0")));
  testing::writeFile(dir / "feed" / "m.json", manifestToJson(release(v2, "2.0")).dump());
  testing::writeFile(dir / "feed" / "stable" / "latest.json", latest("2.0", 2).dump());
  AppHarness h(dir / "launcher", (dir / "feed").string() + "/");
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  // One chunk holds the edit; 39 full chunks and the ten-byte tail moved.
  EXPECT_EQ(h.shell().lastState()["game"]["downloadSize"], chunk);
}

// Pumps until what the last check posted to the UI thread (the automatic
// updates it queues) has run. A check's results may show before that: the
// check's thread posts it after publishing them. A new check joins the last
// one's thread before it starts, so that post is queued before the test's.
// The new check is a manual one, which queues nothing.
void waitForCheckResultsApplied(AppHarness& h) {
  h.command({{"cmd", "checkUpdates"}});
  bool ran = false;
  ASSERT_TRUE(h.app().postToUi([&ran] { ran = true; }));
  ASSERT_TRUE(h.pumpUntil([&ran] { return ran; }));
  ASSERT_TRUE(h.waitForCheck());
}

// No job is queued or running, and none has failed: a game job queued by the
// check would show as one of these, however fast it ran.
void expectNothingQueued(AppHarness& h, const std::string& what) {
  const json now = h.app().buildState();
  EXPECT_EQ(now["queue"], json::array()) << what;
  EXPECT_TRUE(now["task"].is_null()) << what;
  EXPECT_EQ(now["taskError"], "") << what;
  EXPECT_TRUE(h.shell().toasts().empty()) << what;
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
    ASSERT_NO_FATAL_FAILURE(waitForCheckResultsApplied(h));
    expectNothingQueued(h, "manual");
    EXPECT_EQ(h.shell().lastState()["game"]["status"], "update");
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
    ASSERT_NO_FATAL_FAILURE(waitForCheckResultsApplied(h));
    expectNothingQueued(h, lockHeld ? "lock held" : "flag set");
    EXPECT_EQ(h.shell().lastState()["game"]["status"], "running");
  }
}

TEST_F(CoreThreadsAutoUpdateTest, TurnedOffInThePreferencesQueuesNothing) {
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "setPrefs"}, {"prefs", {{"autoUpdateGame", false}}}});
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  ASSERT_NO_FATAL_FAILURE(waitForCheckResultsApplied(h));
  expectNothingQueued(h, "turned off");
}

// Without a trusted key the feed is read as before, and the log says once
// per run that it is not verified.
TEST(CoreThreadsUpdateCheckTest, WithoutAKeyTheFeedWorksAsBeforeAndTheLogSaysSoOnce) {
  TestHttpServer server;
  server.serve("/stable/latest.json", jsonAnswer(latest("1.0", 1)));
  TempDir dir;
  testing::ScopedEnv noKeys("VANTOR_FEED_KEYS", std::nullopt);
  testing::LogCapture log;
  AppHarness h(dir / "launcher", server.url(""));
  for (int i = 0; i < 2; ++i) {
    h.command({{"cmd", "checkUpdates"}});
    ASSERT_TRUE(h.waitForCheck());
    EXPECT_EQ(h.shell().lastState()["feed"]["ok"], true);
  }
  EXPECT_EQ(server.requestCount("/stable/latest.json.sig"), 0);
  EXPECT_EQ(log.warnings(), std::vector<std::string>{"The update feed is not verified: no feed key is trusted"});
}

// The automatic update installs the feed its check verified: the game job
// fetches no latest.json of its own.
TEST(CoreThreadsUpdateCheckTest, TheAutomaticUpdateGetsTheFeedItsCheckVerified) {
  testing::FeedSigner signer;
  json doc = latest("2.0", 2, "../missing.json");
  doc["serial"] = 5;
  doc["expires"] = "2999-01-01T00:00:00Z";
  doc["game"]["manifestSha256"] = std::string(64, 'd');
  doc["game"]["manifestSize"] = 10;
  const std::string bytes = doc.dump();
  TestHttpServer server;
  server.serve("/stable/latest.json", jsonAnswer(json::parse(bytes)));
  TestResponse sig;
  sig.body = signer.sign(json::parse(bytes).dump());
  server.serve("/stable/latest.json.sig", sig);
  TempDir dir;
  testing::writeFile(dir / "launcher" / "game" / gameExecutableName, "");
  testing::writeFile(dir / "launcher" / "game" / "manifest.json",
                     R"({"version":"1.0","build":1,"chunkSize":1048576,"files":[]})");
  testing::ScopedEnv keys("VANTOR_FEED_KEYS", signer.publicKey());
  testing::LogCapture log;
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "ready"}});
  const std::string failure = "Server answered 404 for " + server.url("/missing.json");
  ASSERT_TRUE(h.pumpUntil([&] {
    const auto t = h.shell().toasts();
    return std::find(t.begin(), t.end(), failure) != t.end();
  })) << "no game job ran: " << h.shell().lastState()["feed"];
  EXPECT_EQ(server.requestCount("/stable/latest.json"), 1) << "the job fetched the feed again";
  EXPECT_EQ(h.shell().lastState()["feed"]["ok"], true);
  for (const std::string& line : log.warnings()) EXPECT_EQ(line.find("not verified"), std::string::npos) << line;
}

}  // namespace
}  // namespace launcher
