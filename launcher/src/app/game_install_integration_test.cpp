// handleCommand driving a whole game install, a one-chunk update and a
// repair against a real nginx serving a feed published with the project's
// release tool; the application runs headless with the test pumping its UI
// queue. The installed game is the stand-in game, and it must run.
#include "app/launcher_app.h"

#include "platform/platform.h"
#include "testing/app_harness.h"
#include "testing/child_process.h"
#include "testing/log_capture.h"
#include "testing/nginx_server.h"
#include "testing/release_feed.h"
#include "testing/scoped_tmpfs.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>
#include <set>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::AppHarness;
using testing::NginxServer;
using testing::PublishedRelease;

constexpr uint64_t chunk = 64 * 1024;

uint64_t totalSize(const PublishedRelease& r) {
  uint64_t total = 0;
  for (const auto& f : r.files) total += f.size;
  return total;
}

class CoreThreadsGameInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs it)";
    fs::create_directories(content());
    fs::copy_file(VANTOR_FAKEGAME_EXE, content() / gameExecutableName);
    testing::writeRandomFile(content() / "data/world.pak", 48 * chunk + 321, 11);
    testing::writeRandomFile(content() / "data/sky.pak", 20 * chunk, 12);
    testing::writeFile(content() / "readme.txt", "Astrane: Vantor\n");
    ASSERT_NO_FATAL_FAILURE(publish("1.0.0", 1, v1));
    // Slow enough that the page sees the phases, quick enough for a test.
    testing::NginxOptions options;
    options.requestsPerSecond = 60;
    server = std::make_unique<NginxServer>(dir / "feed", options);
    ASSERT_TRUE(server->started()) << server->error();
  }

  fs::path content() const { return dir / "content"; }
  fs::path game() const { return dir / "launcher" / "game"; }

  void publish(const std::string& version, int build, PublishedRelease& out) {
    std::string error;
    ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, content(), dir / "feed", version, build, chunk, out, error))
        << error;
  }

  // Every state document of one job, from its queueing to an idle queue.
  std::vector<json> runJob(AppHarness& h, const json& command) {
    const size_t first = h.shell().messages.size();
    h.command(command);
    EXPECT_TRUE(h.waitForIdleQueue(120000)) << "the job never ended";
    std::vector<json> states;
    for (size_t i = first; i < h.shell().messages.size(); ++i) {
      if (h.shell().messages[i].value("type", "") == "state") states.push_back(h.shell().messages[i]);
    }
    return states;
  }

  // The application keeps its connections open, so nginx is never idle: wait
  // instead until the log shows what the job's end implies.
  std::vector<testing::AccessEntry> accessLogOnceItHas(const std::string& uriPart) {
    for (int i = 0; i < 500; ++i) {
      auto log = server->accessLog();
      for (const auto& e : log)
        if (e.uri.find(uriPart) != std::string::npos) return log;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return server->accessLog();
  }

  static std::set<std::string> phases(const std::vector<json>& states) {
    std::set<std::string> out;
    for (const json& s : states)
      if (s["task"].is_object()) out.insert(s["task"]["phase"].get<std::string>());
    return out;
  }

  // The phases shown, in the order shown, must follow the sync's own order
  // (quick phases may be skipped by the 66 ms rule, never reordered).
  static void expectPhasesInOrder(const std::vector<json>& states) {
    const std::vector<std::string> order{"", "Checking files", "Comparing", "Searching", "Downloading", "Assembling",
                                         "Installing"};
    size_t at = 0;
    for (const json& s : states) {
      if (!s["task"].is_object()) continue;
      const std::string phase = s["task"]["phase"];
      const auto it = std::find(order.begin(), order.end(), phase);
      ASSERT_NE(it, order.end()) << "unknown phase " << phase;
      const size_t index = static_cast<size_t>(it - order.begin());
      EXPECT_GE(index, at) << phase << " after " << order[at];
      at = std::max(at, index);
    }
  }

  testing::TempDir dir;
  PublishedRelease v1;
  std::unique_ptr<NginxServer> server;
};

TEST_F(CoreThreadsGameInstallTest, InstallThenOneChunkUpdateThenRepair) {
  testing::writeFile(dir / "launcher" / "install.json", "{}");  // installed mode: the size is logged
  testing::LogCapture log;
  AppHarness h(dir / "launcher", server->url(""));
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  json s = h.shell().lastState();
  EXPECT_EQ(s["game"]["status"], "not_installed");
  EXPECT_EQ(s["mode"], "installed");
  uint64_t objectBytes = 0;
  for (const auto& [hash, size] : v1.objects()) objectBytes += size;
  EXPECT_EQ(s["game"]["downloadSize"], objectBytes) << "the estimate for an empty folder is every object";

  // Install.
  std::vector<json> states = runJob(h, {{"cmd", "install"}});
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.front()["game"]["status"], "busy");
  EXPECT_EQ(states.front()["queue"][0]["kind"], "game");
  EXPECT_EQ(states.front()["queue"][0]["label"], "Astrane: Vantor");
  const auto seen = phases(states);
  EXPECT_TRUE(seen.count("Downloading")) << ::testing::PrintToString(seen);
  expectPhasesInOrder(states);
  uint64_t lastDone = 0;
  for (const json& st : states) {
    if (!st["task"].is_object() || st["task"]["phase"] != "Downloading") continue;
    EXPECT_EQ(st["task"]["kind"], "game");
    EXPECT_LE(st["task"]["bytesDone"].get<uint64_t>(), st["task"]["bytesTotal"].get<uint64_t>());
    EXPECT_GE(st["task"]["bytesDone"].get<uint64_t>(), lastDone) << "progress never goes back within a phase";
    lastDone = st["task"]["bytesDone"].get<uint64_t>();
  }
  s = h.shell().lastState();
  EXPECT_EQ(s["game"]["status"], "ready");
  EXPECT_EQ(s["game"]["version"], "1.0.0");
  EXPECT_EQ(s["game"]["build"], 1);
  EXPECT_EQ(s["game"]["downloadSize"], totalSize(v1)) << "nothing left to fetch: the feed's full size is shown";
  EXPECT_EQ(s["taskError"], "");
  EXPECT_EQ(s["task"], nullptr);
  ASSERT_TRUE(h.pumpUntil([&] { return !h.shell().toasts().empty(); }));
  EXPECT_EQ(h.shell().toasts().back(), "Game updated to 1.0.0");
  std::string why;
  EXPECT_TRUE(testing::folderMatchesRelease(game(), v1, why)) << why;
  // The installed game runs.
  const testing::ProcessResult ran = testing::runProcess({(game() / gameExecutableName).string(), "--exit-code", "7"});
  EXPECT_EQ(ran.exitCode, 7) << testing::describe(ran);
  bool sizeLogged = false;
  for (const std::string& line : log.messages("info")) sizeLogged = sizeLogged || line.rfind("Install size ", 0) == 0;
  EXPECT_TRUE(sizeLogged);

  // A one-chunk update.
  PublishedRelease v2;
  testing::overwriteRandom(content() / "data/world.pak", 9 * chunk, chunk, 99);
  ASSERT_NO_FATAL_FAILURE(publish("1.0.1", 2, v2));
  h.command({{"cmd", "checkUpdates"}});
  ASSERT_TRUE(h.waitForCheck());
  s = h.shell().lastState();
  EXPECT_EQ(s["game"]["status"], "update");
  EXPECT_EQ(s["game"]["latestVersion"], "1.0.1");
  EXPECT_EQ(s["game"]["downloadSize"], chunk);
  const size_t logged = server->accessLog().size();
  states = runJob(h, {{"cmd", "install"}});
  auto log2 = accessLogOnceItHas(v2.find("data/world.pak")->chunks.at(9));
  log2.erase(log2.begin(), log2.begin() + static_cast<std::ptrdiff_t>(logged));
  const auto fetched = testing::objectRequests(log2);
  EXPECT_EQ(fetched, std::vector<std::string>{v2.find("data/world.pak")->chunks.at(9)});
  s = h.shell().lastState();
  EXPECT_EQ(s["game"]["status"], "ready");
  EXPECT_EQ(s["game"]["version"], "1.0.1");
  EXPECT_EQ(s["game"]["build"], 2);
  EXPECT_EQ(s["game"]["downloadSize"], totalSize(v2));
  EXPECT_TRUE(testing::folderMatchesRelease(game(), v2, why)) << why;
  ASSERT_TRUE(h.pumpUntil([&] { return h.shell().toasts().back() == "Game updated to 1.0.1"; }));

  // A repair of a damaged file of the right size.
  testing::overwriteRandom(game() / "data/sky.pak", 3 * chunk, 100, 5);
  states = runJob(h, {{"cmd", "repair"}});
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.front()["queue"][0]["kind"], "repair");
  expectPhasesInOrder(states);
  EXPECT_TRUE(std::any_of(states.begin(), states.end(), [](const json& st) {
    return st["task"].is_object() && st["task"]["kind"] == "repair" && st["task"]["label"] == "Verifying Astrane: Vantor";
  }));
  EXPECT_TRUE(testing::folderMatchesRelease(game(), v2, why)) << why;
  ASSERT_TRUE(h.pumpUntil([&] { return h.shell().toasts().back() == "Game files verified"; }));
  EXPECT_EQ(h.shell().lastState()["game"]["status"], "ready");
}

// "install" with "play": the job's end starts the game it installed, which
// the sync wrote without execute bits.
TEST_F(CoreThreadsGameInstallTest, InstallWithPlayStartsTheInstalledGame) {
  testing::LogCapture log;
  AppHarness h(dir / "launcher", server->url(""));
  h.command({{"cmd", "setPrefs"}, {"prefs", {{"onPlay", "stay"}}}});
  h.command({{"cmd", "install"}, {"play", true}});
  ASSERT_TRUE(h.waitForIdleQueue(120000));
  ASSERT_TRUE(h.pumpUntil([&] {
    const auto info = log.messages("info");
    return std::find(info.begin(), info.end(), "Game exited with code 0") != info.end();
  })) << ::testing::PrintToString(log.messages("error"));
  const fs::perms mode = fs::status(game() / gameExecutableName).permissions();
  EXPECT_NE(mode & fs::perms::owner_exec, fs::perms::none);
  EXPECT_EQ(mode & fs::perms::others_write, fs::perms::none);
  EXPECT_TRUE(h.shell().toasts().size() >= 1u);
  EXPECT_EQ(h.shell().toasts().front(), "Game updated to 1.0.0");
}

TEST_F(CoreThreadsGameInstallTest, PauseKeepsTheJobAndResumeFinishesIt) {
  AppHarness h(dir / "launcher", server->url(""));
  h.command({{"cmd", "install"}});
  const json downloading = h.waitForState(
      [](const json& s) { return s["task"].is_object() && s["task"]["phase"] == "Downloading"; }, 60000);
  ASSERT_FALSE(downloading.is_null());
  const uint64_t id = downloading["task"]["id"];
  h.command({{"cmd", "pause"}, {"id", id}});
  const json held = h.waitForState([](const json& s) { return s["task"].is_null() && !s["queue"].empty(); });
  ASSERT_FALSE(held.is_null());
  EXPECT_EQ(held["queue"][0]["paused"], true);
  EXPECT_EQ(held["taskError"], "");
  EXPECT_EQ(held["game"]["status"], "busy");
  EXPECT_TRUE(h.shell().toasts().empty());
  h.command({{"cmd", "resume"}, {"id", id}});
  ASSERT_TRUE(h.waitForIdleQueue(120000));
  std::string why;
  EXPECT_TRUE(testing::folderMatchesRelease(game(), v1, why)) << why;
  EXPECT_EQ(h.shell().lastState()["game"]["status"], "ready");
}

TEST_F(CoreThreadsGameInstallTest, FullDiskFailsBeforeAnyFileIsFetched) {
  testing::ScopedTmpfs small(dir / "small", 64 * 1024 * 1024);
  if (!small.mounted()) GTEST_SKIP() << small.skipReason();
  AppHarness h(small.path() / "launcher", server->url(""));
  h.command({{"cmd", "install"}});
  ASSERT_TRUE(h.waitForIdleQueue());
  const std::string error = h.shell().lastState()["taskError"];
  EXPECT_EQ(error.rfind("Not enough disk space: ", 0), 0u) << error;
  EXPECT_NE(error.find(" GB more needed"), std::string::npos) << error;
  ASSERT_TRUE(h.pumpUntil([&] { return !h.shell().toasts().empty(); }));
  EXPECT_EQ(h.shell().toasts().back(), error);
  EXPECT_TRUE(testing::objectRequests(accessLogOnceItHas(v1.manifestPath)).empty());
  EXPECT_FALSE(fs::exists(small.path() / "launcher" / "game" / gameExecutableName));
}

}  // namespace
}  // namespace launcher
