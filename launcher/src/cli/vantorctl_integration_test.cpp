// vantorctl as a player or a script runs it: the real executable in a
// temporary HOME against a feed that the release tools published and nginx
// serves. Every subcommand, its output and exit status, the lock it shares
// with the window, an interrupt and the rerun that resumes, the speed limit.
#include "platform/instance.h"
#include "platform/platform.h"
#include "data/instance_owner.h"
#include "testing/child_process.h"
#include "testing/nginx_server.h"
#include "testing/release_feed.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::NginxServer;
using testing::ProcessResult;
using testing::PublishedRelease;

constexpr uint64_t chunk = 64 * 1024;

ProcessResult ctl(std::vector<std::string> args, int timeoutMs = 120000) {
  args.insert(args.begin(), VANTOR_CTL_EXE);
  return testing::runProcess(args, timeoutMs);
}

std::vector<std::string> objectsFetched(const NginxServer& server) {
  return testing::objectRequests(server.accessLog());
}

class VantorctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs it)";
    fs::create_directories(content());
    fs::copy_file(VANTOR_FAKEGAME_EXE, content() / gameExecutableName);
    testing::writeRandomFile(content() / "data/world.pak", 40 * chunk + 123, 1);
    testing::writeRandomFile(content() / "data/sky.pak", 12 * chunk, 2);
    testing::writeFile(content() / "readme.txt", "Astrane: Vantor\n");
    publish("1.0.0", 1, v1);
    server = std::make_unique<NginxServer>(dir / "feed");
    ASSERT_TRUE(server->started()) << server->error();
  }

  void publish(const std::string& version, int build, PublishedRelease& out) {
    std::string error;
    ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, content(), dir / "feed", version, build, chunk, out, error))
        << error;
  }

  fs::path content() const { return dir / "content"; }
  fs::path data() const { return home.path() / "home/.local/share/Vantor"; }
  fs::path game() const { return dir / "game"; }
  std::vector<std::string> at(const NginxServer& s) const {
    return {"--feed", s.url(""), "--folder", game().string()};
  }
  std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) const {
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  testing::ScopedHome home;
  testing::TempDir dir;
  PublishedRelease v1;
  std::unique_ptr<NginxServer> server;
};

TEST(VantorctlInfo, HelpAndVersionAnswerOnStandardOutput) {
  const ProcessResult version = ctl({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "vantorctl 1.0.0\n");
  EXPECT_EQ(version.err, "");
  const ProcessResult help = ctl({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("Usage: vantorctl COMMAND", 0), 0u) << help.out;
  EXPECT_EQ(help.err, "");
}

TEST(VantorctlInfo, BadUsageExitsTwoAndPointsAtTheHelp) {
  testing::ScopedHome home;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"frob"}, {"install", "--json"}, {"addons", "install", "Bad Id"}, {"sync", "only-one"}}) {
    const ProcessResult r = ctl(args);
    EXPECT_EQ(r.exitCode, 2) << ::testing::PrintToString(args) << testing::describe(r);
    EXPECT_NE(r.err.find("Try 'vantorctl --help'"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// Neither linked nor mapped: a running vantorctl's own maps are read.
TEST_F(VantorctlTest, NoWindowLibraryIsLinkedOrMapped) {
  const ProcessResult ldd = testing::runProcess({"ldd", VANTOR_CTL_EXE});
  ASSERT_EQ(ldd.exitCode, 0) << testing::describe(ldd);
  for (const char* lib : {"libgtk", "libgdk", "libwebkit", "libjavascriptcore", "libsoup"}) {
    EXPECT_EQ(ldd.out.find(lib), std::string::npos) << lib << " in\n" << ldd.out;
  }
  ASSERT_TRUE(testing::runProcess({"ldd", VANTOR_LAUNCHER_EXE}).exitCode == 0);

  // Slow enough to be looked at while it runs.
  testing::NginxOptions slow;
  slow.requestsPerSecond = 4;
  NginxServer slowServer(dir / "feed", slow);
  ASSERT_TRUE(slowServer.started()) << slowServer.error();
  testing::ChildProcess running(with({VANTOR_CTL_EXE, "install"}, at(slowServer)));
  ASSERT_TRUE(running.started()) << running.error();
  std::string maps;
  for (int i = 0; i < 2000 && running.running(); ++i) {
    maps = testing::readFile("/proc/" + std::to_string(running.pid()) + "/maps");
    if (!objectsFetched(slowServer).empty()) break;  // well into its work
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(running.stop()) << "it ended before its maps were read";
  maps = testing::readFile("/proc/" + std::to_string(running.pid()) + "/maps");
  ASSERT_NE(maps.find("libcurl"), std::string::npos) << "not the maps of a running vantorctl:\n" << maps;
  for (const char* lib : {"libgtk", "libgdk", "libwebkit", "libjavascriptcore"}) {
    EXPECT_EQ(maps.find(lib), std::string::npos) << lib;
  }
  running.resume();
  running.sendSignal(testing::Signal::Kill);
}

TEST_F(VantorctlTest, InstallStatusVerifyAndARepairThatFetchesOnlyTheDamage) {
  // Paced so the download outlasts the core's progress interval: on loopback
  // the whole install can otherwise end before a single progress push.
  testing::NginxOptions paced;
  paced.requestsPerSecond = 30;
  NginxServer pacedServer(dir / "feed", paced);
  ASSERT_TRUE(pacedServer.started()) << pacedServer.error();
  ProcessResult r = ctl(with({"install"}, at(pacedServer)));
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  EXPECT_NE(r.out.find("Game updated to 1.0.0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Downloading"), std::string::npos) << "no progress lines:\n" << r.out;
  std::string why;
  EXPECT_TRUE(testing::folderMatchesRelease(game(), v1, why)) << why;

  r = ctl(with({"status", "--json"}, at(*server)));
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  const json status = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(status.is_object()) << r.out;
  EXPECT_EQ(status["game"]["status"], "ready");
  EXPECT_EQ(status["game"]["version"], "1.0.0");
  EXPECT_EQ(status["feed"]["ok"], true);
  EXPECT_EQ(status["feed"]["location"], server->url(""));
  EXPECT_EQ(status["queue"], json::array());
  EXPECT_EQ(status["lock"]["held"], false);
  EXPECT_EQ(status["paths"]["game"], game().string());
  r = ctl(with({"status"}, at(*server)));
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  EXPECT_NE(r.out.find("Game      1.0.0 (build 1), ready"), std::string::npos) << r.out;

  // Two files damaged: one chunk of one, the other gone.
  testing::overwriteRandom(game() / "data/world.pak", 5 * chunk + 10, 100, 9);
  fs::remove(game() / "readme.txt");
  server->clearAccessLog();
  r = ctl(with({"verify", "--json"}, at(*server)));
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  const json plan = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(plan.is_object()) << r.out;
  EXPECT_EQ(plan["damaged"], 1);
  EXPECT_EQ(plan["missing"], 1);
  EXPECT_EQ(plan["updated"], 0);
  EXPECT_EQ(plan["filesChecked"], v1.files.size());
  const uint64_t readmeSize = v1.find("readme.txt")->size;
  EXPECT_EQ(plan["downloadBytes"], chunk + readmeSize);
  EXPECT_EQ(plan["downloadObjects"], 2);
  EXPECT_TRUE(server->waitIdle());
  EXPECT_TRUE(objectsFetched(*server).empty()) << "verify downloaded something";
  EXPECT_FALSE(fs::exists(game() / ".staging")) << "verify left a staging area";
  r = ctl(with({"verify"}, at(*server)));
  EXPECT_NE(r.out.find("1 damaged, 1 missing"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("damaged  data/world.pak"), std::string::npos) << r.out;

  r = ctl(with({"repair"}, at(*server)));
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  EXPECT_NE(r.out.find("Repairing 1 damaged and 1 missing"), std::string::npos) << r.out;
  EXPECT_TRUE(testing::folderMatchesRelease(game(), v1, why)) << why;
  EXPECT_TRUE(server->waitIdle());
  const auto fetched = objectsFetched(*server);
  const std::vector<std::string> expected{v1.find("data/world.pak")->chunks.at(5), v1.find("readme.txt")->sha256};
  EXPECT_EQ(std::set<std::string>(fetched.begin(), fetched.end()), std::set<std::string>(expected.begin(), expected.end()));
}

TEST_F(VantorctlTest, UpdateFetchesOnlyWhatTheNewReleaseChanged) {
  ProcessResult r = ctl(with({"update"}, at(*server)));
  EXPECT_EQ(r.exitCode, 1) << testing::describe(r);
  EXPECT_NE(r.err.find("not installed"), std::string::npos) << r.err;
  ASSERT_EQ(ctl(with({"install"}, at(*server))).exitCode, 0);
  testing::overwriteRandom(content() / "data/sky.pak", 2 * chunk, 50, 77);
  PublishedRelease v2;
  publish("1.0.1", 2, v2);
  server->clearAccessLog();
  r = ctl(with({"update", "--limit-rate", "0"}, at(*server)));
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  EXPECT_NE(r.out.find("Game updated to 1.0.1"), std::string::npos) << r.out;
  std::string why;
  EXPECT_TRUE(testing::folderMatchesRelease(game(), v2, why)) << why;
  EXPECT_TRUE(server->waitIdle());
  EXPECT_EQ(objectsFetched(*server), std::vector<std::string>{v2.find("data/sky.pak")->chunks.at(2)});
}

TEST_F(VantorctlTest, AnInterruptStopsCleanlyAndTheRerunFetchesNothingVerifiedAgain) {
  testing::NginxOptions slow;
  slow.requestsPerSecond = 15;
  NginxServer slowServer(dir / "feed", slow);
  ASSERT_TRUE(slowServer.started()) << slowServer.error();
  testing::ChildProcess install(with({VANTOR_CTL_EXE, "install"}, at(slowServer)));
  ASSERT_TRUE(install.started()) << install.error();
  for (int i = 0; i < 6000 && objectsFetched(slowServer).size() < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(objectsFetched(slowServer).size(), 10u) << install.err();
  install.sendSignal(testing::Signal::Interrupt);
  ASSERT_EQ(install.wait(30000), 130) << install.out() << install.err();
  EXPECT_NE(install.err().find("run the same command again"), std::string::npos) << install.err();
  EXPECT_FALSE(isInstanceLockHeld());

  const std::set<std::string> kept = testing::verifiedStagedChunks(game(), v1);
  ASSERT_FALSE(kept.empty());
  const ProcessResult rerun = ctl(with({"install"}, at(*server)));
  ASSERT_EQ(rerun.exitCode, 0) << testing::describe(rerun);
  std::string why;
  EXPECT_TRUE(testing::folderMatchesRelease(game(), v1, why)) << why;
  EXPECT_TRUE(server->waitIdle());
  for (const std::string& hash : objectsFetched(*server)) EXPECT_EQ(kept.count(hash), 0u) << hash << " fetched again";
}

TEST_F(VantorctlTest, TheWindowAndVantorctlNeverWriteAtOnce) {
  // A window holds the lock: vantorctl says who and exits 3.
  {
    InstanceLock window;
    std::string error;
    ASSERT_EQ(window.tryAcquire(error), LockResult::Acquired) << error;
    ASSERT_TRUE(recordInstanceOwner("vantor-launcher", "window"));
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{with({"install"}, at(*server)), {"backup"}, {"addons", "remove", "x"}}) {
      const ProcessResult r = ctl(args);
      EXPECT_EQ(r.exitCode, 3) << testing::describe(r);
      EXPECT_NE(r.err.find("The launcher (vantor-launcher, process " + std::to_string(currentProcessId())),
                std::string::npos)
          << r.err;
    }
    // Reading needs no lock.
    EXPECT_EQ(ctl(with({"status"}, at(*server))).exitCode, 0);
  }
  EXPECT_FALSE(fs::exists(game())) << "a refused install wrote the game folder";

  // vantorctl holds it: a window start says so and exits 3.
  testing::NginxOptions slow;
  slow.requestsPerSecond = 4;
  NginxServer slowServer(dir / "feed", slow);
  ASSERT_TRUE(slowServer.started()) << slowServer.error();
  testing::ChildProcess install(with({VANTOR_CTL_EXE, "install"}, at(slowServer)));
  ASSERT_TRUE(install.started());
  for (int i = 0; i < 3000 && objectsFetched(slowServer).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(install.stop()) << "the install ended first";
  const ProcessResult window = testing::runProcess({VANTOR_LAUNCHER_EXE, "--ui=browser"}, 30000);
  EXPECT_EQ(window.exitCode, 3) << testing::describe(window);
  EXPECT_NE(window.err.find("vantorctl install (process " + std::to_string(install.pid()) + ")"), std::string::npos)
      << window.err;
  const ProcessResult second = ctl({"backup"});
  EXPECT_EQ(second.exitCode, 3) << testing::describe(second);
  install.resume();
  install.sendSignal(testing::Signal::Interrupt);
  EXPECT_EQ(install.wait(30000), 130) << install.err();
}

TEST_F(VantorctlTest, SyncBringsAFolderToAManifestAsTheLauncherDoes) {
  const fs::path folder = dir / "synced";
  ProcessResult r = ctl({"sync", server->url("/" + v1.manifestPath), folder.string()});
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  EXPECT_NE(r.out.find("Synced "), std::string::npos) << r.out;
  std::string why;
  EXPECT_TRUE(testing::folderMatchesRelease(folder, v1, why)) << why;
  testing::overwriteRandom(folder / "data/sky.pak", 0, 10, 3);
  r = ctl({"sync", "--verify", "--limit-rate", "8M", server->url("/" + v1.manifestPath), folder.string()});
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  EXPECT_TRUE(testing::folderMatchesRelease(folder, v1, why)) << why;
  r = ctl({"sync", server->url("/manifests/none.json"), folder.string()});
  EXPECT_EQ(r.exitCode, 1) << testing::describe(r);
}

// A lower bound only: a loaded machine makes the install slower, never faster.
TEST_F(VantorctlTest, TheSpeedLimitHoldsForAllWorkersTogether) {
  uint64_t total = 0;
  for (const auto& [hash, size] : v1.objects()) total += size;
  const uint64_t rate = 1024 * 1024;
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult r = ctl(with({"install", "--limit-rate", "1M"}, at(*server)));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  // Everything past the bucket's first tenth of a second and the blocks in
  // flight waits for the rate.
  const double floor = static_cast<double>(total - rate / 10 - 4 * 16 * 1024) / static_cast<double>(rate);
  EXPECT_GE(seconds, 0.9 * floor) << total << " bytes at " << rate << " B/s";
}

TEST_F(VantorctlTest, AddonsListInstallAndRemove) {
  testing::writeFile(dir / "arena" / "addon.json",
                     json({{"id", "arena-pack"}, {"name", "Arena Pack"}, {"version", "1.2"}, {"author", "Team"}}).dump());
  testing::writeFile(dir / "arena" / "maps" / "arena.map", std::string(100000, 'm'));
  const ProcessResult made =
      testing::runProcess({"python3", std::string(VANTOR_SOURCE_DIR) + "/tools/release/make_addon.py",
                           (dir / "arena").string(), (dir / "feed").string(), "--chunk-size", "65536"});
  ASSERT_EQ(made.exitCode, 0) << testing::describe(made);
  const std::vector<std::string> feed{"--feed", server->url("")};

  ProcessResult r = ctl(with({"addons", "list", "--json"}, feed));
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  json list = json::parse(r.out, nullptr, false);
  ASSERT_EQ(list["catalog"].size(), 1u) << r.out;
  EXPECT_EQ(list["catalog"][0]["id"], "arena-pack");
  EXPECT_EQ(list["installed"], json::array());

  r = ctl(with({"addons", "install", "arena-pack"}, feed));
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  EXPECT_NE(r.out.find("Arena Pack installed"), std::string::npos) << r.out;
  EXPECT_EQ(testing::readFile(data() / "addons/arena-pack/maps/arena.map").size(), 100000u);
  r = ctl(with({"addons", "install", "no-such"}, feed));
  EXPECT_EQ(r.exitCode, 1) << testing::describe(r);
  EXPECT_NE(r.err.find("That addon isn't on the server"), std::string::npos) << r.err;

  r = ctl(with({"addons", "list"}, feed));
  EXPECT_NE(r.out.find("arena-pack"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("(installed)"), std::string::npos) << r.out;

  r = ctl({"addons", "remove", "arena-pack"});
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  EXPECT_EQ(r.out, "Addon removed\n");
  EXPECT_FALSE(fs::exists(data() / "addons/arena-pack"));
  r = ctl({"addons", "remove", "arena-pack"});
  EXPECT_EQ(r.exitCode, 1) << testing::describe(r);
  EXPECT_NE(r.err.find("That addon is already gone"), std::string::npos) << r.err;
}

TEST_F(VantorctlTest, BackupAndRestoreTheSaves) {
  const fs::path saves = data() / "saves";
  testing::writeFile(saves / "slot1.sav", "first");
  ProcessResult r = ctl({"backup"});
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  EXPECT_EQ(r.out, "Saves backed up\n");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(data() / "backups")) names.push_back(e.path().filename());
  ASSERT_EQ(names.size(), 1u);

  testing::writeFile(saves / "slot1.sav", "second");
  r = ctl({"restore", names[0]});
  ASSERT_EQ(r.exitCode, 0) << testing::describe(r);
  EXPECT_EQ(r.out, "Saves restored\n");
  EXPECT_EQ(testing::readFile(saves / "slot1.sav"), "first");
  r = ctl({"restore", "1999-01-01_000000"});
  EXPECT_EQ(r.exitCode, 1) << testing::describe(r);
  EXPECT_NE(r.err.find("That backup is gone"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace launcher
