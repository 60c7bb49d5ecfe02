// The real launcher executable, several at once: the single-instance lock
// and its hand-over, activation of the running launcher, closing while work
// runs, and a kill in the middle of an install. Each test runs a copy of the
// executable in a folder of its own (its game folder lies beside it), with
// its page on the standard streams.
#include "platform/instance.h"
#include "platform/platform.h"
#include "testing/launcher_process.h"
#include "testing/nginx_server.h"
#include "testing/release_feed.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::isState;
using testing::isToast;
using testing::LauncherProcess;
using Clock = std::chrono::steady_clock;

constexpr uint64_t chunk = 64 * 1024;

class LauncherProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "launcher");
    fs::copy_file(VANTOR_LAUNCHER_EXE, exe());
    fs::permissions(exe(), fs::perms::owner_all);
  }

  fs::path exe() const { return dir / "launcher" / "vantor-launcher"; }
  fs::path game() const { return dir / "launcher" / "game"; }
  fs::path log() const { return home.path() / "home/.local/share/Vantor/logs/launcher.log"; }

  std::unique_ptr<LauncherProcess> start(std::vector<std::string> args = {}, const std::string& feed = "/") {
    args.insert(args.begin(), exe().string());
    auto p = std::make_unique<LauncherProcess>(args, std::map<std::string, std::string>{{"VANTOR_UPDATE_FEED", feed}});
    EXPECT_TRUE(p->started());
    return p;
  }

  // Sends "ready" and waits for the state it answers with: the launcher runs.
  static bool answers(LauncherProcess& p, int timeoutMs = 20000) {
    p.send({{"cmd", "ready"}});
    return !p.waitFor(isState, timeoutMs).is_null();
  }

  bool logHas(const std::string& text, int timeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
      if (testing::readFile(log()).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(20ms);
    } while (Clock::now() < deadline);
    return false;
  }

  testing::ScopedHome home;  // the launchers' HOME, data and runtime folders
  testing::TempDir dir;
};

TEST_F(LauncherProcessTest, SecondStartActivatesTheFirstAndExitsZero) {
  auto first = start();
  ASSERT_TRUE(answers(*first)) << first->err();
  auto second = start();
  second->send({{"cmd", "ready"}});
  EXPECT_EQ(second->wait(10000), 0) << second->err();
  EXPECT_TRUE(second->messages().empty()) << "the second start showed a page";
  EXPECT_TRUE(logHas("Another start asked for the window"));
  EXPECT_TRUE(first->running());
  first->terminate();
  EXPECT_EQ(first->wait(10000), 0) << first->err();
}

TEST_F(LauncherProcessTest, UpdatedWaitsForTheRunningOneToLetGoAndThenRuns) {
  // This test stands in for the old launcher, holding the lock for 3 s.
  InstanceLock old;
  std::string error;
  ASSERT_EQ(old.tryAcquire(error), LockResult::Acquired) << error;
  auto updated = start({"--updated"});
  updated->send({{"cmd", "ready"}});  // read once it runs
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(updated->running()) << "it gave up while the lock was held: " << updated->err();
  EXPECT_TRUE(updated->messages().empty());
  old.release();
  EXPECT_FALSE(updated->waitFor(isState, 10000).is_null()) << updated->err();
  EXPECT_FALSE(updated->waitFor([](const json& m) { return isToast(m, "Launcher updated to 1.0.0"); }, 10000).is_null());
  updated->terminate();
  EXPECT_EQ(updated->wait(10000), 0);
}

TEST_F(LauncherProcessTest, UpdatedGivesUpAfterFiveSecondsAndActivatesTheRunningOne) {
  auto running = start();
  ASSERT_TRUE(answers(*running)) << running->err();
  const auto started = Clock::now();
  auto waiting = start({"--first-run"});
  EXPECT_EQ(waiting->wait(15000), 0) << waiting->err();
  EXPECT_GE(Clock::now() - started, 4900ms) << "it did not wait";
  EXPECT_TRUE(logHas("Another start asked for the window"));
  running->terminate();
  EXPECT_EQ(running->wait(10000), 0);
}

TEST_F(LauncherProcessTest, LockOfAKilledLauncherCountsAsReleased) {
  auto killed = start();
  ASSERT_TRUE(answers(*killed)) << killed->err();
  killed->kill();
  ASSERT_EQ(killed->wait(10000), 128 + 9);
  auto next = start();  // no flag: it must not find the lock held
  ASSERT_TRUE(answers(*next)) << next->err();
  auto third = start();  // and the socket the killed one left is replaced
  EXPECT_EQ(third->wait(10000), 0);
  EXPECT_TRUE(logHas("Another start asked for the window"));
  next->terminate();
  EXPECT_EQ(next->wait(10000), 0);
}

TEST_F(LauncherProcessTest, RuntimeFolderThatIsALinkIsRefusedWithExitOne) {
  // Without XDG_RUNTIME_DIR the locks live in /tmp/vantor-<uid>; another user
  // who planted a link there could hold them. The test needs a /tmp of its own.
  if (::getuid() != 0 || !fs::exists("/usr/bin/unshare")) GTEST_SKIP() << "needs root and unshare";
  // The executable, and a sanitizer's suppressions file, may lie under the
  // hidden /tmp: both are opened first and reached through descriptors.
  std::map<std::string, std::string> env{{"VANTOR_UPDATE_FEED", "/"}};
  std::string suppressions = "/dev/null";
  if (const char* tsan = std::getenv("TSAN_OPTIONS")) {
    std::string options = tsan;
    const std::string key = "suppressions=";
    if (const size_t at = options.find(key); at != std::string::npos) {
      const size_t from = at + key.size();
      const size_t end = options.find_first_of(" :", from);
      const size_t length = end == std::string::npos ? std::string::npos : end - from;
      suppressions = options.substr(from, length);
      options.replace(from, length == std::string::npos ? options.size() - from : length, "/proc/self/fd/4");
    }
    env["TSAN_OPTIONS"] = options;
  }
  const std::string script =
      "exec 3< \"$0\" 4< \"$1\" && mount -t tmpfs tmpfs /tmp && ln -s / /tmp/vantor-$(id -u) && "
      "exec env -u XDG_RUNTIME_DIR /proc/self/fd/3";
  LauncherProcess p({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script,
                     exe().string(), suppressions},
                    env);
  ASSERT_TRUE(p.started());
  EXPECT_EQ(p.wait(20000), 1) << p.err();
  EXPECT_NE(p.err().find("not a folder"), std::string::npos) << p.err();
}

TEST_F(LauncherProcessTest, CloseWhileACheckIsStuckLetsANewLauncherStartAtOnce) {
  testing::TestHttpServer server;
  testing::TestResponse silent;
  silent.body = "{}";
  silent.delayMs = 8000;
  server.serve("/stable/latest.json", silent);
  auto stuck = start({}, server.url(""));
  ASSERT_TRUE(answers(*stuck)) << stuck->err();
  ASSERT_FALSE(stuck->waitFor([](const json& m) { return isState(m) && m["feed"]["checking"] == true; }).is_null());
  stuck->terminate();
  // The lock goes as soon as the worker has stopped, not after the check.
  const auto deadline = Clock::now() + 5s;
  while (isInstanceLockHeld() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(isInstanceLockHeld());
  EXPECT_TRUE(stuck->running()) << "the check should still hold the old process";
  auto next = start();
  EXPECT_TRUE(answers(*next)) << next->err();
  EXPECT_TRUE(next->running());
  next->terminate();
  EXPECT_EQ(next->wait(10000), 0);
  EXPECT_EQ(stuck->wait(30000), 0) << stuck->err();
}

class LauncherInstallProcessTest : public LauncherProcessTest {
 protected:
  void SetUp() override {
    LauncherProcessTest::SetUp();
    if (!testing::NginxServer::available()) GTEST_SKIP() << "nginx is not installed";
    testing::writeRandomFile(dir / "content/data/world.pak", 160 * chunk + 7, 21);
    testing::writeRandomFile(dir / "content/data/sky.pak", 40 * chunk, 22);
    std::string error;
    ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, dir / "content", dir / "feed", "1.0.0", 1, chunk, release,
                                        error))
        << error;
    testing::NginxOptions slow;
    slow.requestsPerSecond = 40;  // 200 objects: about five seconds on the wire
    server = std::make_unique<testing::NginxServer>(dir / "feed", slow);
    ASSERT_TRUE(server->started()) << server->error();
  }

  // Starts an install and waits until it is downloading, with some bytes in.
  static bool downloading(LauncherProcess& p) {
    p.send({{"cmd", "install"}});
    return !p.waitFor(
                 [](const json& m) {
                   return isState(m) && m["task"].is_object() && m["task"]["phase"] == "Downloading" &&
                          m["task"]["bytesDone"].get<uint64_t>() > 0;
                 },
                 60000)
                .is_null();
  }

  testing::PublishedRelease release;
  std::unique_ptr<testing::NginxServer> server;
};

TEST_F(LauncherInstallProcessTest, ClosingDuringADownloadExitsPromptlyAndCleanly) {
  auto launcher = start({}, server->url(""));
  ASSERT_TRUE(answers(*launcher)) << launcher->err();
  ASSERT_TRUE(downloading(*launcher)) << launcher->err();
  launcher->terminate();
  // The job is asked to stop and the worker joined: well within 10 s.
  EXPECT_EQ(launcher->wait(10000), 0) << launcher->err();
  EXPECT_FALSE(fs::exists(game() / "manifest.json")) << "the install cannot have finished";
  EXPECT_FALSE(isInstanceLockHeld());
}

TEST_F(LauncherInstallProcessTest, KilledDuringTheInstallARestartFinishesIt) {
  auto first = start({}, server->url(""));
  ASSERT_TRUE(answers(*first)) << first->err();
  ASSERT_TRUE(downloading(*first)) << first->err();
  first->kill();
  ASSERT_EQ(first->wait(10000), 128 + 9);
  std::string why;
  ASSERT_FALSE(testing::folderMatchesRelease(game(), release, why, testing::Staging::MayRemain));

  auto second = start({}, server->url(""));
  ASSERT_TRUE(answers(*second)) << second->err();
  second->send({{"cmd", "install"}});
  const json done = second->waitFor(
      [](const json& m) { return isState(m) && m["game"]["version"] == "1.0.0" && m["task"].is_null(); }, 120000);
  ASSERT_FALSE(done.is_null()) << second->err();
  EXPECT_EQ(done["game"]["build"], 1);
  EXPECT_EQ(done["taskError"], "");
  EXPECT_FALSE(second->waitFor([](const json& m) { return isToast(m, "Game updated to 1.0.0"); }, 10000).is_null());
  EXPECT_TRUE(testing::folderMatchesRelease(game(), release, why)) << why;
  second->terminate();
  EXPECT_EQ(second->wait(10000), 0);
}

TEST_F(LauncherProcessTest, SelfUpdateSwapsTheFilesAndTheNewBuildTakesOver) {
  if (!testing::NginxServer::available()) GTEST_SKIP() << "nginx is not installed";
  // The newer build: this executable with bytes appended, which still runs
  // and has a digest of its own.
  const fs::path build = dir / "feed" / "builds" / "vantor-launcher-9.9.9";
  fs::create_directories(build.parent_path());
  fs::copy_file(exe(), build);
  {
    std::ofstream out(build, std::ios::binary | std::ios::app);
    out << "\nnewer build\n";
  }
  const std::string digest = sha256File(build);
  testing::writeFile(dir / "feed" / "stable" / "latest.json",
                     json({{"launcher",
                            {{"version", "9.9.9"},
                             {"url", "../builds/vantor-launcher-9.9.9"},
                             {"sha256", digest},
                             {"size", fs::file_size(build)}}}})
                         .dump());
  testing::NginxServer server(dir / "feed");
  ASSERT_TRUE(server.started()) << server.error();

  auto old = start({}, server.url(""));
  ASSERT_TRUE(answers(*old)) << old->err();
  ASSERT_FALSE(old->waitFor([](const json& m) { return isState(m) && m["launcher"]["updateAvailable"] == true; })
                   .is_null());
  old->send({{"cmd", "updateLauncher"}});
  // It swaps the files, starts the new build and closes.
  EXPECT_EQ(old->wait(30000), 0) << old->err();
  EXPECT_EQ(sha256File(exe()), digest);
  EXPECT_FALSE(fs::exists(fs::path(exe().string() + ".new")));
  EXPECT_TRUE(fs::status(exe()).permissions() == fs::perms::owner_all);

  // The new build holds the standard streams now and reads "ready".
  old->send({{"cmd", "ready"}});
  EXPECT_FALSE(old->waitFor([](const json& m) { return isToast(m, "Launcher updated to 1.0.0"); }, 20000).is_null())
      << "the restarted launcher never showed its update";
  // It removed the old image at its start.
  const auto deadline = Clock::now() + 5s;
  while (fs::exists(fs::path(exe().string() + ".old")) && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(fs::exists(fs::path(exe().string() + ".old")));
  old->send({{"cmd", "close"}});
  EXPECT_TRUE(old->waitForOutputEnd(15000)) << "the restarted launcher did not close";
}

}  // namespace
}  // namespace launcher
