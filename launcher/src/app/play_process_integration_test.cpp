// The real launcher executable starting the stand-in game: the game inherits
// nothing of the launcher's but its standard streams (not the instance lock,
// not the activation socket), and it keeps running when the launcher closes.
#include "platform/instance.h"
#include "platform/platform.h"
#include "testing/game_process.h"
#include "testing/launcher_process.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
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

class GlueThreadsPlayProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "launcher");
    fs::copy_file(VANTOR_LAUNCHER_EXE, dir / "launcher" / "vantor-launcher");
    fs::permissions(dir / "launcher" / "vantor-launcher", fs::perms::owner_all);
    ASSERT_NO_FATAL_FAILURE(
        testing::installStandInGame(VANTOR_FAKEGAME_EXE, dir / "launcher" / "game", testing::ExecBits::Present));
  }

  std::unique_ptr<LauncherProcess> start() {
    auto p = std::make_unique<LauncherProcess>(std::vector<std::string>{(dir / "launcher" / "vantor-launcher").string()},
                                               std::map<std::string, std::string>{{"VANTOR_UPDATE_FEED", "/"}});
    EXPECT_TRUE(p->started());
    return p;
  }

  fs::path data() const { return home.path() / "home/.local/share/Vantor"; }

  // The pid in the launcher's "Game started (pid N)" line, or -1 after 20 s.
  int startedPid() {
    const auto deadline = Clock::now() + 20s;
    do {
      const std::string log = testing::readFile(data() / "logs" / "launcher.log");
      const size_t at = log.find("Game started (pid ");
      if (at != std::string::npos) return std::atoi(log.c_str() + at + 18);
      std::this_thread::sleep_for(20ms);
    } while (Clock::now() < deadline);
    return -1;
  }

  testing::ScopedHome home;  // the launchers' and the game's HOME, data and runtime folders
  testing::TempDir dir;
};

TEST_F(GlueThreadsPlayProcessTest, TheGameInheritsNoLockOrSocketAndOutlivesTheLauncher) {
  const fs::path go = dir / "let the game end";
  auto first = start();
  first->send({{"cmd", "ready"}});
  ASSERT_FALSE(first->waitFor(isState, 20000).is_null()) << first->err();
  first->send({{"cmd", "setPrefs"}, {"prefs", {{"onPlay", "stay"}, {"launchOptions", "--wait-for '" + go.string() + "'"}}}});
  first->send({{"cmd", "play"}});
  ASSERT_FALSE(first->waitFor([](const json& m) { return testing::hasGameStatus(m, "running"); }).is_null())
      << first->err();
  const int pid = startedPid();
  ASSERT_GT(pid, 0);
  const json record = testing::waitForGameRecord(data() / "logs", pid);
  ASSERT_TRUE(record.is_object()) << "the game left no record";
  for (const json& fd : record["fds"]) {
    EXPECT_LE(fd["fd"].get<int>(), 2) << "the game inherited " << fd.dump();
  }
  EXPECT_EQ(record["session"], pid) << "the game leads a session of its own";

  // The launcher closes (its page went away); the game runs on.
  first->closeInput();
  ASSERT_EQ(first->wait(15000), 0) << first->err();
  EXPECT_TRUE(testing::processExists(pid));
  EXPECT_TRUE(isGameRunning());
  // Had the game inherited the lock's descriptor, the lock would still be held.
  EXPECT_FALSE(isInstanceLockHeld());
  EXPECT_EQ(testing::readFile(data() / "logs" / "launcher.log").find("Game exited"), std::string::npos);

  // Had it inherited the listening socket, this start would hand itself over
  // to nobody and exit: it runs instead, and sees the game by its lock.
  auto second = start();
  second->send({{"cmd", "ready"}});
  const json state = second->waitFor(isState, 20000);
  ASSERT_FALSE(state.is_null()) << second->err();
  EXPECT_EQ(state["game"]["status"], "running");
  second->send({{"cmd", "play"}});
  EXPECT_FALSE(second->waitFor([](const json& m) { return isToast(m, "The game is already running"); }).is_null());

  testing::writeFile(go, "");
  const auto deadline = Clock::now() + 20s;
  while (isGameRunning() && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(isGameRunning()) << "the game did not end";
  second->closeInput();
  EXPECT_EQ(second->wait(15000), 0) << second->err();
}

}  // namespace
}  // namespace launcher
