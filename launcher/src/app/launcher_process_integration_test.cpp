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

#include <signal.h>
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

  // Waits (up to `timeoutMs`; 0 asks once) until process `p` has `file`
  // open: the lock file of a launcher that is waiting for the lock, or
  // holds it.
  static bool holdsOpen(LauncherProcess& p, const fs::path& file, int timeoutMs) {
    std::error_code ec;
    const fs::path wanted = fs::weakly_canonical(file, ec);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const fs::path fds = "/proc/" + std::to_string(p.pid()) + "/fd";
      for (fs::directory_iterator it(fds, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        if (fs::read_symlink(it->path(), linkError) == wanted && !linkError) return true;
      }
      if (Clock::now() >= deadline || !p.running()) return false;
      std::this_thread::sleep_for(10ms);
    }
  }

  void givesUpAfterFiveSecondsAndActivatesTheRunningOne(const std::string& flag) {
    auto running = start();
    ASSERT_TRUE(answers(*running)) << running->err();
    const auto started = Clock::now();
    auto waiting = start({flag});
    waiting->send({{"cmd", "ready"}});  // never read: it never runs
    EXPECT_EQ(waiting->wait(20000), 0) << waiting->err();
    EXPECT_GE(Clock::now() - started, 4900ms) << "it did not wait";
    EXPECT_TRUE(waiting->messages().empty()) << "it showed a page";
    EXPECT_TRUE(logHas("Another start asked for the window"));
    EXPECT_TRUE(running->running());
    running->terminate();
    EXPECT_EQ(running->wait(10000), 0);
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
  // This test stands in for the old launcher, holding the lock for 3 s after
  // the new one started. The new one gives up no sooner than 5 s after its
  // start, so a release within 4 s of it finds it still waiting; a machine
  // that held this test up longer leaves nothing to conclude, and the round
  // is run again.
  for (int round = 1; round <= 3; ++round) {
    InstanceLock old;
    std::string error;
    ASSERT_EQ(old.tryAcquire(error), LockResult::Acquired) << error;
    const auto spawned = Clock::now();
    auto updated = start({"--updated"});
    updated->send({{"cmd", "ready"}});  // read once it runs
    // It waits at the lock: the lock file is open in it, and it shows nothing.
    ASSERT_TRUE(holdsOpen(*updated, instanceLockPath(), 30000)) << "it never reached the lock: " << updated->err();
    std::this_thread::sleep_until(spawned + 3s);
    EXPECT_TRUE(updated->waitFor([](const json&) { return true; }, 1).is_null()) << "it ran while the lock was held";
    EXPECT_TRUE(updated->messages().empty());
    ASSERT_TRUE(holdsOpen(*updated, instanceLockPath(), 0)) << "it stopped waiting: " << updated->err();
    old.release();
    if (Clock::now() - spawned >= 4s) {
      updated->kill();
      (void)updated->wait(10000);
      continue;
    }
    EXPECT_FALSE(updated->waitFor(isState, 20000).is_null()) << updated->err();
    EXPECT_FALSE(
        updated->waitFor([](const json& m) { return isToast(m, "Launcher updated to 1.0.0"); }, 10000).is_null());
    updated->terminate();
    EXPECT_EQ(updated->wait(10000), 0);
    return;
  }
  FAIL() << "the lock could never be released within 4 s of the start";
}

// "--updated" (the restart after a self-update) and "--first-run" (the
// installer's start) both wait 5 s, then hand over to the running one.
TEST_F(LauncherProcessTest, UpdatedGivesUpAfterFiveSecondsAndActivatesTheRunningOne) {
  givesUpAfterFiveSecondsAndActivatesTheRunningOne("--updated");
}

TEST_F(LauncherProcessTest, FirstRunGivesUpAfterFiveSecondsAndActivatesTheRunningOne) {
  givesUpAfterFiveSecondsAndActivatesTheRunningOne("--first-run");
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

// A launcher whose runtime folder is refused: without XDG_RUNTIME_DIR the
// locks live in /tmp/vantor-<uid>, where another user could have planted a
// link. It runs in a mount namespace with a /tmp of its own holding that
// link. The executable, a sanitizer's suppressions file and the data folder
// may lie under the hidden /tmp: all three are opened first and reached
// through descriptors. Needs root and unshare (else null, with a skip reason).
std::unique_ptr<LauncherProcess> startWithPlantedRuntimeLink(const fs::path& exe, const fs::path& dataHome,
                                                            std::string& skip) {
  if (::getuid() != 0 || !fs::exists("/usr/bin/unshare")) {
    skip = "needs root and unshare";
    return nullptr;
  }
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
  std::error_code ec;
  fs::create_directories(dataHome, ec);
  const std::string script =
      "exec 3< \"$0\" 4< \"$1\" 5< \"$2\" && mount -t tmpfs tmpfs /tmp && ln -s / /tmp/vantor-$(id -u) && "
      "exec env -u XDG_RUNTIME_DIR XDG_DATA_HOME=/proc/self/fd/5 /proc/self/fd/3";
  return std::make_unique<LauncherProcess>(
      std::vector<std::string>{"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script,
                               exe.string(), suppressions, dataHome.string()},
      env);
}

TEST_F(LauncherProcessTest, RuntimeFolderThatIsALinkIsRefusedWithExitOne) {
  std::string skip;
  auto p = startWithPlantedRuntimeLink(exe(), home.path() / "home/.local/share", skip);
  if (!p) GTEST_SKIP() << skip;
  ASSERT_TRUE(p->started());
  EXPECT_EQ(p->wait(20000), 1) << p->err();
  EXPECT_NE(p->err().find("not a folder"), std::string::npos) << p->err();
}

// With neither XDG_DATA_HOME nor HOME the data folder would be a name in the
// temporary folder that another user may have made first: refused.
TEST_F(LauncherProcessTest, DataFolderInTheTemporaryFolderThatIsALinkIsRefusedWithExitOne) {
  const fs::path tmp = dir / "tmp";
  fs::create_directories(tmp / "elsewhere");
  fs::create_directory_symlink(tmp / "elsewhere", tmp / "Vantor");
  LauncherProcess p({"/usr/bin/env", "-u", "HOME", "-u", "XDG_DATA_HOME", "TMPDIR=" + tmp.string(), exe().string()},
                    {{"VANTOR_UPDATE_FEED", "/"}});
  ASSERT_TRUE(p.started());
  EXPECT_EQ(p.wait(20000), 1) << p.err();
  EXPECT_NE(p.err().find("No safe data folder"), std::string::npos) << p.err();
  EXPECT_TRUE(fs::is_empty(tmp / "elsewhere")) << "something was written through the link";
}

// A start refused for its runtime folder owns nothing: it adds its reason to
// the log of the launcher that runs, and leaves that log where it is.
TEST_F(LauncherProcessTest, RefusedStartLeavesTheRunningLaunchersLogInPlace) {
  auto running = start();
  ASSERT_TRUE(answers(*running)) << running->err();
  ASSERT_TRUE(logHas("Launcher 1.0.0"));
  std::string skip;
  auto refused = startWithPlantedRuntimeLink(exe(), home.path() / "home/.local/share", skip);
  if (!refused) GTEST_SKIP() << skip;
  ASSERT_TRUE(refused->started());
  EXPECT_EQ(refused->wait(20000), 1) << refused->err();
  fs::path old = log();
  old += ".old";
  EXPECT_FALSE(fs::exists(old)) << "the running launcher's log was moved aside";
  const std::string text = testing::readFile(log());
  EXPECT_NE(text.find("Launcher 1.0.0"), std::string::npos) << text;
  EXPECT_NE(text.find("No safe runtime folder"), std::string::npos) << text;
  running->terminate();
  EXPECT_EQ(running->wait(10000), 0);
  EXPECT_TRUE(logHas("Asked to stop by a signal")) << "the running launcher writes on into its log";
}

TEST_F(LauncherProcessTest, CloseWhileACheckIsStuckLetsANewLauncherStartAtOnce) {
  testing::TestHttpServer server;
  testing::TestResponse silent;
  silent.body = "{}";
  silent.hold = true;  // silent until the test lets it answer
  server.serve("/stable/latest.json", silent);
  auto stuck = start({}, server.url(""));
  ASSERT_TRUE(answers(*stuck)) << stuck->err();
  const auto deadline = Clock::now() + 30s;
  while (server.heldCount() == 0 && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(server.heldCount(), 1) << "the check never asked: " << stuck->err();
  stuck->terminate();
  // The lock goes as soon as the worker has stopped, while the check still
  // waits for the server (held until released below).
  while (isInstanceLockHeld() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  ASSERT_FALSE(isInstanceLockHeld()) << "the lock waited for the check";
  EXPECT_EQ(server.heldCount(), 1) << "the check ended";
  EXPECT_TRUE(stuck->running()) << "the check should still hold the old process";
  // No flag: a launcher that found the lock held would hand over and exit.
  auto next = start();
  EXPECT_TRUE(answers(*next)) << next->err();
  EXPECT_TRUE(next->running());
  next->terminate();
  EXPECT_EQ(next->wait(10000), 0);
  server.releaseHeld();
  EXPECT_EQ(stuck->wait(30000), 0) << stuck->err();
}

// The first SIGTERM asks for an orderly stop, which waits for a sign-in
// held by a silent server (up to the transfer's own limits, far beyond the
// bound here); a second SIGTERM or SIGINT ends the process at once.
TEST_F(LauncherProcessTest, SecondSignalDuringAStuckShutdownEndsTheProcessAtOnce) {
  for (int second : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(second);
    testing::TestHttpServer server;
    testing::TestResponse silent;
    silent.body = "{}";
    silent.hold = true;
    server.serve("/api/account/signin", silent);
    auto p = start({}, server.url(""));
    ASSERT_TRUE(answers(*p)) << p->err();
    p->send({{"cmd", "signIn"}, {"username", "pilot"}, {"password", "correct horse"}});
    const auto deadline = Clock::now() + 30s;
    while (server.heldCount() == 0 && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server.heldCount(), 1) << "the sign-in never reached the server: " << p->err();
    p->terminate();
    // The shutdown is under way once the worker let the lock go; the account
    // thread still waits for the server.
    while (isInstanceLockHeld() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(isInstanceLockHeld()) << p->err();
    ASSERT_TRUE(p->running()) << "nothing held the shutdown up";
    ::kill(p->pid(), second);
    EXPECT_EQ(p->wait(2000), 128 + second) << p->err();
    server.releaseHeld();
  }
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

  // Sends `signal` while the install downloads: the job is asked to stop and
  // the worker joined, well within 10 s, and the launcher exits 0.
  void closesDuringADownload(int signal) {
    auto launcher = start({}, server->url(""));
    ASSERT_TRUE(answers(*launcher)) << launcher->err();
    ASSERT_TRUE(downloading(*launcher)) << launcher->err();
    ASSERT_TRUE(launcher->running());  // our child, not yet reaped: the pid is still its own
    ASSERT_EQ(::kill(launcher->pid(), signal), 0);
    EXPECT_EQ(launcher->wait(10000), 0) << launcher->err();
    EXPECT_FALSE(fs::exists(game() / "manifest.json")) << "the install cannot have finished";
    EXPECT_FALSE(isInstanceLockHeld());
    EXPECT_TRUE(logHas("Asked to stop by a signal"));
  }

  testing::PublishedRelease release;
  std::unique_ptr<testing::NginxServer> server;
};

// SIGTERM (a logout, a service manager) and SIGINT (Ctrl+C in a terminal)
// close the launcher as its window does.
TEST_F(LauncherInstallProcessTest, ClosingDuringADownloadExitsPromptlyAndCleanly) { closesDuringADownload(SIGTERM); }

TEST_F(LauncherInstallProcessTest, InterruptDuringADownloadExitsPromptlyAndCleanly) { closesDuringADownload(SIGINT); }

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
