// The application headless: a real UiQueue pumped by the test and a shell
// that records what the page was sent.
#include "app/launcher_app.h"

#include "platform/platform.h"
#include "testing/app_harness.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::AppHarness;
using testing::TempDir;
using testing::TestHttpServer;
using testing::TestResponse;

// Marshalling.

TEST(CoreThreadsMarshallingTest, TenRequestsFromTwoThreadsGiveOneDocument) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  auto mark = [&] {
    for (int i = 0; i < 5; ++i) h.app().markStateDirty();
  };
  std::thread a(mark), b(mark);
  a.join();
  b.join();
  h.pump();
  h.pump();
  EXPECT_EQ(h.shell().states().size(), 1u);
}

TEST(CoreThreadsMarshallingTest, ChangeAfterTheFlagWasClearedGivesASecondDocument) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  bool once = false;
  // The document is built and on its way: a worker changes something now.
  h.shell().onMessage = [&](const json&) {
    if (once) return;
    once = true;
    std::thread worker([&] { h.app().markStateDirty(); });
    worker.join();
  };
  h.app().markStateDirty();
  h.pump();
  ASSERT_EQ(h.shell().states().size(), 1u);
  h.pump();
  EXPECT_EQ(h.shell().states().size(), 2u);
  h.pump();
  EXPECT_EQ(h.shell().states().size(), 2u);
}

TEST(CoreThreadsMarshallingTest, ClosuresRunInPostingOrderOnceAndNeverAfterShutdown) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  std::vector<int> ran;  // UI thread only
  constexpr int perThread = 200;
  auto poster = [&](int base) {
    for (int i = 0; i < perThread; ++i) EXPECT_TRUE(h.app().postToUi([&ran, base, i] { ran.push_back(base + i); }));
  };
  std::thread a(poster, 0), b(poster, 1000);
  a.join();
  b.join();
  h.pump();
  ASSERT_EQ(ran.size(), 2u * perThread);
  int lastA = -1, lastB = 999;
  for (int v : ran) {
    int& last = v < 1000 ? lastA : lastB;
    EXPECT_EQ(v, last + 1);
    last = v;
  }
  h.pump();
  EXPECT_EQ(ran.size(), 2u * perThread);

  // Posted but not run when the window goes: freed, never run; later posts fail.
  auto token = std::make_shared<int>(0);
  EXPECT_TRUE(h.app().postToUi([token, &ran] { ran.push_back(-1); }));
  h.app().shutdown();
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_FALSE(h.app().postToUi([token, &ran] { ran.push_back(-2); }));
  EXPECT_EQ(token.use_count(), 1);
  h.pump();
  EXPECT_EQ(ran.size(), 2u * perThread);
}

TEST(CoreThreadsMarshallingTest, ToastFromACommandArrivesAfterTheCommandReturns) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  h.command({{"cmd", "resetSettings"}});
  EXPECT_TRUE(h.shell().messages.empty()) << "nothing reaches the page during the command";
  h.pump();
  EXPECT_EQ(h.shell().toasts(), std::vector<std::string>{"Settings reset to defaults"});
  EXPECT_EQ(h.shell().states().size(), 1u);
}

TEST(CoreThreadsMarshallingTest, ToastBeforeThePageExistsIsNeverShownLater) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  h.app().attachShell(nullptr);
  h.app().toast("Too early");
  h.pump();
  h.app().attachShell(&h.shell());
  h.pump();
  EXPECT_TRUE(h.shell().toasts().empty());
}

// The "ready" command.

TEST(CoreThreadsReadyCommand, StateFirstThenTheUpdateToastOnlyOnce) {
  TempDir dir;
  LaunchOptions options;
  options.launchedAfterUpdate = true;
  AppHarness h(dir / "launcher", "/", options);
  h.command({{"cmd", "ready"}});
  ASSERT_EQ(h.shell().messages.size(), 1u) << "the state goes at once, before anything posted";
  EXPECT_EQ(h.shell().messages[0]["type"], "state");
  h.pump();
  EXPECT_EQ(h.shell().toasts(), std::vector<std::string>{"Launcher updated to 1.0.0"});
  ASSERT_TRUE(h.waitForCheck());
  h.command({{"cmd", "ready"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts().size(), 1u);
  EXPECT_EQ(h.shell().messages.back()["type"], "state");
}

// Counts the update checks by their log line.
size_t checksLogged(const testing::LogCapture& log) {
  size_t n = 0;
  for (const std::string& line : log.messages("info")) n += line.rfind("Feed ", 0) == 0 ? 1 : 0;
  return n;
}

TEST(CoreThreadsReadyCommand, StartsTheCheckOnlyWhileNoneHasFinished) {
  testing::LogCapture log;
  TestHttpServer server;
  TestResponse latest;
  latest.body = R"({"game":{"version":"1.0","build":1}})";
  latest.contentType = "application/json";
  TestResponse held = latest;
  held.hold = true;
  // The first check is answered; any later one would hang on the server.
  server.script("/stable/latest.json", {latest});
  server.serve("/stable/latest.json", held);
  TempDir dir;
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  EXPECT_EQ(checksLogged(log), 1u);
  h.command({{"cmd", "ready"}});
  // A check started by this "ready" could not have ended: it would show.
  EXPECT_EQ(h.app().buildState()["feed"]["checking"], false);
  EXPECT_EQ(server.requestCount("/stable/latest.json"), 1);
  EXPECT_EQ(server.heldCount(), 0);
  server.releaseHeld();
}

TEST(CoreThreadsReadyCommand, NoCheckWhenTurnedOffUnlessFirstRun) {
  for (bool firstRun : {false, true}) {
    testing::LogCapture log;
    TempDir dir;
    LaunchOptions options;
    options.firstRun = firstRun;
    AppHarness h(dir / "launcher", "/", options);
    h.command({{"cmd", "setPrefs"}, {"prefs", {{"checkForUpdates", false}}}});
    h.command({{"cmd", "ready"}});
    if (firstRun) {
      ASSERT_TRUE(h.waitForCheck());
    } else {
      // A check is marked running before the command that starts it returns,
      // and checked when it ends: one started by "ready" shows either way.
      const json now = h.app().buildState();
      EXPECT_EQ(now["feed"]["checking"], false);
      EXPECT_EQ(now["feed"]["checked"], false);
      h.pump();
    }
    EXPECT_EQ(checksLogged(log), firstRun ? 1u : 0u) << "firstRun " << firstRun;
    EXPECT_EQ(h.shell().lastState()["feed"]["checked"], firstRun);
    EXPECT_EQ(h.shell().lastState()["firstRun"], firstRun);
  }
}

TEST(CoreThreadsReadyCommand, FirstRunSendsTheInstallEventOnceAndAStoredSignInIsChecked) {
  testing::TestHttpServer server;
  TestResponse me;
  me.body = R"({"profile":{"username":"Pilot","referralCode":"abc","invited":2}})";
  me.contentType = "application/json";
  server.serve("/api/account/me", me);
  TestResponse ok;
  ok.body = "{}";
  ok.contentType = "application/json";
  server.serve("/api/event", ok);
  TempDir dir;
  testing::writeFile(dir / "launcher" / "install.json", R"({"ref":"friend-code"})");
  LaunchOptions options;
  options.firstRun = true;
  AppHarness h(dir / "launcher", server.url(""), options);
  const std::string token(64, 'a');
  LauncherAppProbe::setAccount(h.app(), "pilot", server.url(""), token);
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  ASSERT_TRUE(h.pumpUntil([&] { return server.requestCount("/api/account/me") == 1; }));
  EXPECT_EQ(server.lastRequest("/api/account/me").headers["authorization"], "Bearer " + token);
  ASSERT_TRUE(h.pumpUntil([&] {
    const json s = h.shell().lastState();
    return s.is_object() && s["account"]["profile"].contains("referralCode");
  })) << "the check's profile never reached the state";
  EXPECT_EQ(h.shell().lastState()["account"]["profile"]["invited"], 2);
  ASSERT_TRUE(h.pumpUntil([&] { return server.requestCount("/api/event") == 1; }));
  const TestHttpServer::SeenRequest event = server.lastRequest("/api/event");
  EXPECT_EQ(event.method, "POST");
  EXPECT_EQ(event.body, R"({"event":"install","ref":"friend-code","version":"1.0.0"})");
  EXPECT_EQ(event.headers.count("authorization"), 0u);

  // A reload says "ready" again: the sign-in is checked again, the install
  // is not reported again.
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.pumpUntil([&] { return server.requestCount("/api/account/me") == 2; }));
  // An event this "ready" sent would be in flight from the moment it returned.
  ASSERT_TRUE(h.pumpUntil([] { return usageEventsInFlight() == 0; }));
  EXPECT_EQ(server.requestCount("/api/event"), 1);
}

// The state document.

TEST(GameStatus, FirstRuleThatHoldsWins) {
  struct Row {
    GameStatusInputs in;
    const char* status;
  };
  auto in = [](bool busy, bool running, bool exe, bool dev, bool feed, bool update) {
    GameStatusInputs i;
    i.busy = busy;
    i.running = running;
    i.exeExists = exe;
    i.devBuild = dev;
    i.usableFeed = feed;
    i.updateAvailable = update;
    return i;
  };
  const Row rows[] = {
      {in(true, true, true, true, true, true), "busy"},      // busy even while the game runs
      {in(false, true, true, true, true, true), "running"},  // running beats dev and update
      {in(false, false, true, true, true, true), "dev"},     // a dev build never shows update
      {in(false, false, true, false, true, true), "update"},
      {in(false, false, true, false, true, false), "ready"},
      {in(false, false, true, false, false, false), "ready"},  // no feed: an installed game is still ready
      {in(false, false, false, false, true, true), "not_installed"},
      {in(false, false, false, true, true, true), "not_installed"},
      {in(false, false, false, false, false, false), "unavailable"},
      {in(false, true, false, false, false, false), "running"},
  };
  for (const Row& r : rows) EXPECT_STREQ(gameStatus(r.in), r.status);
}

void writeLatest(const fs::path& feed, const std::string& gameVersion, int build, const std::string& launcher = "") {
  json doc = {{"game", {{"version", gameVersion}, {"build", build}, {"size", 4242}, {"manifest", "m.json"}}}};
  if (!launcher.empty()) doc["launcher"] = {{"version", launcher}};
  testing::writeFile(feed / "stable" / "latest.json", doc.dump());
}

TEST(CoreThreadsStateDocument, NoFeedAndNoGameIsUnavailable) {
  TempDir dir;
  AppHarness h(dir / "launcher", "/");
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  const json s = h.shell().lastState();
  EXPECT_EQ(s["feed"]["configured"], false);
  EXPECT_EQ(s["feed"]["error"], "No update server is set");
  EXPECT_EQ(s["game"]["status"], "unavailable");
  EXPECT_EQ(s["launcher"]["updateAvailable"], false);
  EXPECT_EQ(s["task"], nullptr);
  EXPECT_EQ(s["mode"], "portable");
  EXPECT_EQ(s["server"], json::object());
  EXPECT_EQ(s["launcher"]["version"], "1.0.0");
}

TEST(CoreThreadsStateDocument, FeedWithoutGameIsNotInstalledAndANewerLauncherIsOffered) {
  TempDir dir;
  writeLatest(dir / "feed", "2.0.0", 7, "1.0.1");
  AppHarness h(dir / "launcher", (dir / "feed").string());
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  const json s = h.shell().lastState();
  EXPECT_EQ(s["game"]["status"], "not_installed");
  EXPECT_EQ(s["game"]["version"], "");
  EXPECT_EQ(s["game"]["latestVersion"], "2.0.0");
  EXPECT_EQ(s["game"]["latestBuild"], 7);
  EXPECT_EQ(s["game"]["downloadSize"], 4242) << "no estimate: the feed's full size";
  EXPECT_EQ(s["launcher"]["updateAvailable"], true);
  EXPECT_EQ(s["launcher"]["latest"], "1.0.1");
  EXPECT_EQ(s["feed"]["configured"], true);
  EXPECT_EQ(s["feed"]["ok"], true);
}

TEST(CoreThreadsStateDocument, ExecutableWithoutManifestIsOlderThanAnyRelease) {
  TempDir dir;
  writeLatest(dir / "feed", "0.1", 0);
  testing::writeFile(dir / "launcher" / "game" / gameExecutableName, "#!/bin/sh\n");
  AppHarness h(dir / "launcher", (dir / "feed").string());
  // A manual check: the first one would queue the update at once.
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  const json s = h.shell().lastState();
  EXPECT_EQ(s["game"]["version"], "");
  EXPECT_EQ(s["game"]["build"], 0);
  EXPECT_EQ(s["game"]["status"], "update");
}

TEST(CoreThreadsStateDocument, QueueTaskAndBusyWhileARepairWaitsBehindAnAddonJob) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  std::atomic<bool> release{false};
  Job addon;
  addon.kind = "addon";
  addon.target = "skins";
  addon.label = "Skins";
  addon.body = [&] {
    Progress p;
    p.phase = "Downloading";
    p.file = "a.pak";
    p.bytesDone = 5;
    p.bytesTotal = 10;
    p.filesDone = 1;
    p.filesTotal = 2;
    p.rate = 2.5;
    h.app().jobs().reportProgress(p);
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return std::string();
  };
  ASSERT_TRUE(h.app().jobs().enqueue(std::move(addon), QueuePosition::Back));
  Job repair;
  repair.kind = "repair";
  repair.label = "Verifying Astrane: Vantor";
  repair.body = [] { return std::string(); };
  const json s = h.waitForState([](const json& st) { return st["task"].is_object() && st["queue"].size() == 1; });
  ASSERT_FALSE(s.is_null());
  ASSERT_TRUE(h.app().jobs().enqueue(std::move(repair), QueuePosition::Back));
  const json busy = h.waitForState([](const json& st) {
    return st["queue"].size() == 2 && st["task"].is_object() && st["task"]["phase"] == "Downloading";
  });
  ASSERT_FALSE(busy.is_null());
  EXPECT_EQ(busy["game"]["status"], "busy");
  EXPECT_EQ(busy["queue"][0]["kind"], "addon");
  EXPECT_EQ(busy["queue"][0]["active"], true);
  EXPECT_EQ(busy["queue"][1]["kind"], "repair");
  EXPECT_EQ(busy["queue"][1]["active"], false);
  EXPECT_EQ(busy["queue"][1]["paused"], false);
  EXPECT_EQ(busy["task"],
            json({{"id", busy["queue"][0]["id"]}, {"kind", "addon"}, {"label", "Skins"}, {"phase", "Downloading"},
                  {"file", "a.pak"}, {"bytesDone", 5}, {"bytesTotal", 10}, {"filesDone", 1}, {"filesTotal", 2},
                  {"rate", 2.5}}));
  release = true;
  ASSERT_TRUE(h.waitForIdleQueue());
  const json idle = h.shell().lastState();
  EXPECT_EQ(idle["task"], nullptr);
  EXPECT_EQ(idle["game"]["status"], "unavailable");
}

TEST(CoreThreadsStateDocument, SignedInOnlyWithAUsernameAndA64CharacterToken) {
  TempDir dir;
  {
    AppHarness h(dir / "launcher", std::string("https://srv.example"));
    struct Row {
      std::string user;
      std::string token;
      bool signedIn;
    };
    const Row rows[] = {{"pilot", std::string(64, 'f'), true},
                        {"pilot", std::string(63, 'f'), false},
                        {"pilot", std::string(65, 'f'), false},
                        {"", std::string(64, 'f'), false},
                        {"pilot", std::string(63, 'f') + " ", false}};  // not token text
    for (const Row& r : rows) {
      LauncherAppProbe::setAccount(h.app(), r.user, "https://srv.example", r.token);
      const json s = h.app().buildState();
      EXPECT_EQ(s["account"]["signedIn"], r.signedIn) << r.user << " " << r.token.size();
      EXPECT_EQ(s["account"]["available"], true);
      EXPECT_EQ(s["account"]["site"], "https://srv.example/install/");
    }
  }
  // A local feed has no account server, whatever a stored sign-in names.
  AppHarness h(dir / "launcher");
  LauncherAppProbe::setAccount(h.app(), "", "https://srv.example", "");
  const json s = h.app().buildState();
  EXPECT_EQ(s["account"], json({{"available", false}, {"busy", false}, {"profile", json::object()},
                                {"signedIn", false}, {"site", ""}, {"username", ""}}));
}

TEST(CoreThreadsStateDocument, AddonsAgainstTheCatalog) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  CatalogEntry skins{"skins", "Skins", "2.0", "A", "d", "https://x/skins.json", 10, "", 0};
  CatalogEntry maps{"maps", "Maps", "1.0", "B", "e", "https://x/maps.json", 20, "", 0};
  LauncherAppProbe::setCatalog(h.app(), {skins, maps});
  std::vector<AddonInfo> installed(2);
  installed[0].id = "skins";
  installed[0].version = "1.0";
  installed[0].managed = false;  // put there by hand: never offered an update
  installed[1].id = "local";
  installed[1].version = "0.1";
  installed[1].managed = true;
  json s = LauncherAppProbe::buildStateWithAddons(h.app(), installed);
  EXPECT_EQ(s["addons"]["installed"][0]["update"], false);
  EXPECT_EQ(s["addons"]["installed"][0]["latest"], "2.0");
  EXPECT_EQ(s["addons"]["installed"][1]["latest"], "");
  EXPECT_EQ(s["addons"]["catalog"][0]["installed"], true);
  EXPECT_EQ(s["addons"]["catalog"][1]["installed"], false);
  EXPECT_EQ(s["addons"]["catalog"][1]["size"], 20);
  EXPECT_FALSE(s["addons"]["catalog"][0].contains("manifest"));
  installed[0].managed = true;
  s = LauncherAppProbe::buildStateWithAddons(h.app(), installed);
  EXPECT_EQ(s["addons"]["installed"][0]["update"], true);
  // The real document lists what the add-ons folder holds.
  EXPECT_EQ(h.app().buildState()["addons"]["installed"], json::array());
  testing::writeFile(addonsFolder() / "maps" / "addon.json", R"({"name":"Maps","version":"0.5"})");
  s = h.app().buildState();
  ASSERT_EQ(s["addons"]["installed"].size(), 1u);
  EXPECT_EQ(s["addons"]["installed"][0]["id"], "maps");
  EXPECT_EQ(s["addons"]["installed"][0]["latest"], "1.0");
  EXPECT_EQ(s["addons"]["installed"][0]["update"], false) << "put there by hand";
  EXPECT_EQ(s["addons"]["catalog"][1]["installed"], true);
}

TEST(CoreThreadsStateDocument, KeysAreSortedSoEqualStatesAreEqualText) {
  TempDir dir;
  AppHarness h(dir / "launcher");
  const std::string a = h.app().buildState().dump();
  const std::string b = h.app().buildState().dump();
  EXPECT_EQ(a, b);
  EXPECT_LT(a.find("\"account\""), a.find("\"addons\""));
  EXPECT_LT(a.find("\"addons\""), a.find("\"feed\""));
}

}  // namespace
}  // namespace launcher
