// A feed published and signed with the project's release tools and served by
// nginx: it installs, updates and self-updates, and every way of turning it
// (a changed byte, a missing or foreign signature, an expired or replayed
// document, a manifest or launcher build other than the pinned one) is
// refused with its text before anything is installed.
#include "app/launcher_app.h"

#include "platform/platform.h"
#include "testing/app_harness.h"
#include "testing/feed_signer.h"
#include "testing/launcher_process.h"
#include "testing/log_capture.h"
#include "testing/nginx_server.h"
#include "testing/release_feed.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"
#include "update/feed_trust.h"
#include "update/manifest.h"
#include "update/self_update.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::AppHarness;
using testing::NginxServer;
using testing::PublishedRelease;
using testing::readFile;
using testing::writeFile;

constexpr uint64_t chunk = 64 * 1024;

class SignedFeedIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs it)";
    fs::create_directories(dir / "keys");
    std::string error;
    ASSERT_TRUE(testing::makeFeedKey(VANTOR_SOURCE_DIR, key(), publicKey, error)) << error;
    fs::create_directories(content());
    fs::copy_file(VANTOR_FAKEGAME_EXE, content() / gameExecutableName);
    testing::writeRandomFile(content() / "data/world.pak", 12 * chunk + 5, 31);
    writeFile(content() / "readme.txt", "Astrane: Vantor\n");
    ASSERT_NO_FATAL_FAILURE(publish("1.0.0", 1, v1, pristine()));
    server = std::make_unique<NginxServer>(dir / "feeds");
    ASSERT_TRUE(server->started()) << server->error();
  }

  fs::path key() const { return dir / "keys" / "feed.pem"; }
  fs::path content() const { return dir / "content"; }
  fs::path pristine() const { return dir / "feeds" / "signed"; }
  fs::path game() const { return dir / "launcher" / "game"; }

  void publish(const std::string& version, int build, PublishedRelease& out, const fs::path& feed) {
    std::string error;
    ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, content(), feed, version, build, chunk, out, error,
                                        {"--signing-key", key().string()}))
        << error;
  }

  // A copy of the published feed at its own address, for one case to change.
  fs::path copyFeed(const std::string& name) {
    const fs::path to = dir / "feeds" / name;
    fs::copy(pristine(), to, fs::copy_options::recursive);
    return to;
  }

  // Rewrites a channel's latest.json and signs it with the release key.
  void resign(const fs::path& feed, const std::function<void(json&)>& change) {
    const fs::path file = feed / "stable" / "latest.json";
    json doc = json::parse(readFile(file));
    change(doc);
    testing::FeedSigner signer(key());
    ASSERT_TRUE(signer.valid());
    signer.writeSigned(file, doc.dump(2) + "\n");
  }

  // Nothing of the game was installed and no object was asked for.
  void expectNothingInstalled(const std::string& feedName, const std::string& what) {
    EXPECT_FALSE(fs::exists(game() / "manifest.json")) << what;
    EXPECT_FALSE(fs::exists(game() / gameExecutableName)) << what;
    for (const auto& e : server->accessLog()) {
      EXPECT_EQ(e.uri.find("/" + feedName + "/objects/"), std::string::npos) << what << ": fetched " << e.uri;
    }
  }

  testing::TempDir dir;
  std::string publicKey;
  PublishedRelease v1;
  std::unique_ptr<NginxServer> server;
};

TEST_F(SignedFeedIntegrationTest, InstallsAndUpdatesEndToEnd) {
  testing::ScopedEnv keys("VANTOR_FEED_KEYS", publicKey);
  testing::LogCapture log;
  AppHarness h(dir / "launcher", server->url("/signed"));
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  json s = h.shell().lastState();
  EXPECT_EQ(s["feed"]["ok"], true) << s["feed"];
  EXPECT_EQ(s["game"]["latestVersion"], "1.0.0");
  h.command({{"cmd", "install"}});
  ASSERT_TRUE(h.waitForIdleQueue(120000));
  EXPECT_EQ(h.shell().lastState()["taskError"], "");
  std::string why;
  EXPECT_TRUE(testing::folderMatchesRelease(game(), v1, why)) << why;

  PublishedRelease v2;
  testing::overwriteRandom(content() / "data/world.pak", 3 * chunk, chunk, 77);
  ASSERT_NO_FATAL_FAILURE(publish("1.0.1", 2, v2, pristine()));
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  s = h.shell().lastState();
  EXPECT_EQ(s["game"]["status"], "update");
  EXPECT_EQ(s["game"]["latestVersion"], "1.0.1");
  h.command({{"cmd", "install"}});
  ASSERT_TRUE(h.waitForIdleQueue(120000));
  EXPECT_EQ(h.shell().lastState()["taskError"], "");
  EXPECT_TRUE(testing::folderMatchesRelease(game(), v2, why)) << why;
  EXPECT_EQ(h.shell().lastState()["game"]["version"], "1.0.1");
  for (const std::string& line : log.warnings()) EXPECT_EQ(line.find("not verified"), std::string::npos) << line;
}

TEST_F(SignedFeedIntegrationTest, EveryTurnedFeedIsRefusedAndNothingInstalled) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& feed)> turn;
    std::string checkError;    // what the page shows after the check
    std::string installError;  // the install job's failure
  };
  const std::vector<Case> cases = {
      {"one-byte",
       [](const fs::path& f) {
         std::string text = readFile(f / "stable" / "latest.json");
         text[text.find("\"1.0.0\"") + 5] = '9';  // the release read as 1.0.9
         writeFile(f / "stable" / "latest.json", text);
       },
       unsignedAnswerText, unsignedAnswerText},
      {"no-sig", [](const fs::path& f) { fs::remove(f / "stable" / "latest.json.sig"); }, unsignedAnswerText,
       unsignedAnswerText},
      {"foreign-sig",
       [](const fs::path& f) {
         testing::FeedSigner stranger;
         writeFile(f / "stable" / "latest.json.sig", stranger.sign(readFile(f / "stable" / "latest.json")));
       },
       unsignedAnswerText, unsignedAnswerText},
      {"expired", [this](const fs::path& f) { resign(f, [](json& d) { d["expires"] = "2020-06-01T00:00:00Z"; }); },
       expiredAnswerText, expiredAnswerText},
      {"manifest",
       [](const fs::path& f) {
         const fs::path manifest = f / "manifests" / "1.0.0-1.json";
         std::string text = readFile(manifest);
         text[text.find("\"1.0.0\"") + 5] = '9';  // same size, other bytes
         writeFile(manifest, text);
       },
       "", damagedManifestText},
  };
  testing::ScopedEnv keys("VANTOR_FEED_KEYS", publicKey);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.turn(copyFeed(c.name));
    AppHarness h(dir / "launcher", server->url("/" + std::string(c.name)));
    h.command({{"cmd", "checkUpdates"}});
    ASSERT_TRUE(h.waitForCheck());
    EXPECT_EQ(h.shell().lastState()["feed"]["error"], c.checkError);
    h.command({{"cmd", "install"}});
    ASSERT_TRUE(h.waitForIdleQueue(60000));
    EXPECT_EQ(h.shell().lastState()["taskError"], c.installError);
    ASSERT_TRUE(h.pumpUntil([&] { return !h.shell().toasts().empty(); }));
    EXPECT_EQ(h.shell().toasts().back(), c.installError);
    expectNothingInstalled(c.name, c.name);
  }
}

// A genuine older document, replayed after a newer one was seen.
TEST_F(SignedFeedIntegrationTest, AReplayedOlderReleaseIsRefused) {
  const fs::path feed = copyFeed("replay");
  const std::string oldLatest = readFile(feed / "stable" / "latest.json");
  const std::string oldSignature = readFile(feed / "stable" / "latest.json.sig");
  PublishedRelease v2;
  testing::overwriteRandom(content() / "data/world.pak", 0, 100, 5);
  ASSERT_NO_FATAL_FAILURE(publish("1.0.1", 2, v2, feed));

  testing::ScopedEnv keys("VANTOR_FEED_KEYS", publicKey);
  AppHarness h(dir / "launcher", server->url("/replay"));
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  ASSERT_EQ(h.shell().lastState()["game"]["latestVersion"], "1.0.1");

  writeFile(feed / "stable" / "latest.json", oldLatest);
  writeFile(feed / "stable" / "latest.json.sig", oldSignature);
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  EXPECT_EQ(h.shell().lastState()["feed"]["error"], olderReleaseText);
  h.command({{"cmd", "install"}});
  ASSERT_TRUE(h.waitForIdleQueue(60000));
  EXPECT_EQ(h.shell().lastState()["taskError"], olderReleaseText);
  expectNothingInstalled("replay", "replay");
}

TEST_F(SignedFeedIntegrationTest, ALauncherBuildLongerThanItsPinIsRefusedAndLeavesNoNew) {
  const fs::path feed = copyFeed("longer");
  const fs::path build = feed / "builds" / "vantor-launcher-9.9.9";
  testing::writeRandomFile(build, 3 * chunk, 41);
  const std::string digest = sha256File(build);
  const uint64_t size = fs::file_size(build);
  resign(feed, [&](json& d) {
    d["launcher"] = {{"version", "9.9.9"}, {"url", "../builds/vantor-launcher-9.9.9"}, {"sha256", digest}, {"size", size}};
  });
  {
    std::ofstream out(build, std::ios::binary | std::ios::app);
    out << std::string(2 * chunk, 'x');  // what the server sends now: more than was signed
  }

  testing::ScopedEnv keys("VANTOR_FEED_KEYS", publicKey);
  LaunchOptions options;
  options.executable = dir / "app" / "vantor-launcher";
  writeFile(options.executable, "the running build");
  AppHarness h(dir / "launcher", server->url("/longer"), options);
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  ASSERT_EQ(h.shell().lastState()["launcher"]["updateAvailable"], true);
  h.command({{"cmd", "updateLauncher"}});
  ASSERT_TRUE(h.waitForIdleQueue(60000));
  EXPECT_EQ(h.shell().lastState()["taskError"], "The downloaded launcher is larger than the update server says");
  EXPECT_EQ(readFile(options.executable), "the running build");
  EXPECT_FALSE(fs::exists(siblingPath(options.executable, ".new")));
  EXPECT_FALSE(fs::exists(siblingPath(options.executable, ".old")));
}

// The real launcher, trusting the key through VANTOR_FEED_KEYS, updates
// itself from a feed make_release.py signed, and the new build takes over.
TEST_F(SignedFeedIntegrationTest, SelfUpdatesFromASignedFeed) {
  testing::ScopedHome home;
  const fs::path exe = dir / "launcher" / "vantor-launcher";
  fs::create_directories(exe.parent_path());
  fs::copy_file(VANTOR_LAUNCHER_EXE, exe);
  fs::permissions(exe, fs::perms::owner_all);
  const fs::path feed = dir / "feeds" / "self";
  const fs::path build = feed / "builds" / "vantor-launcher-9.9.9";
  fs::create_directories(build.parent_path());
  fs::copy_file(exe, build);
  {
    std::ofstream out(build, std::ios::binary | std::ios::app);
    out << "\nnewer build\n";
  }
  const std::string digest = sha256File(build);
  // The launcher entry is written by hand; make_release.py keeps it and signs.
  writeFile(feed / "stable" / "latest.json",
            json({{"launcher",
                   {{"version", "9.9.9"},
                    {"url", "../builds/vantor-launcher-9.9.9"},
                    {"sha256", digest},
                    {"size", fs::file_size(build)}}}})
                .dump());
  PublishedRelease release;
  ASSERT_NO_FATAL_FAILURE(publish("1.0.0", 1, release, feed));
  ASSERT_TRUE(fs::exists(feed / "stable" / "latest.json.sig"));

  testing::LauncherProcess old({exe.string()},
                               {{"VANTOR_UPDATE_FEED", server->url("/self")}, {"VANTOR_FEED_KEYS", publicKey}});
  ASSERT_TRUE(old.started());
  old.send({{"cmd", "ready"}});
  ASSERT_FALSE(old.waitFor([](const json& m) {
                    return testing::isState(m) && m["launcher"]["updateAvailable"] == true && m["feed"]["ok"] == true;
                  })
                   .is_null())
      << old.err();
  old.send({{"cmd", "updateLauncher"}});
  EXPECT_EQ(old.wait(30000), 0) << old.err();
  EXPECT_EQ(sha256File(exe), digest);
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
  old.send({{"cmd", "ready"}});
  EXPECT_FALSE(old.waitFor([](const json& m) { return testing::isToast(m, "Launcher updated to 1.0.0"); }, 20000)
                   .is_null())
      << "the restarted launcher never showed its update";
  old.send({{"cmd", "close"}});
  EXPECT_TRUE(old.waitForOutputEnd(15000)) << "the restarted launcher did not close";
}

}  // namespace
}  // namespace launcher
