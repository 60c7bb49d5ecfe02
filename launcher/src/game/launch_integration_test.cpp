// Starting and watching the stand-in game as a real process: its argument
// vector, working folder, session, signals and descriptors as the game sees
// them, its exit codes, and its life beyond the watcher.
#include "data/game_settings.h"
#include "data/paths.h"
#include "game/game_watch.h"
#include "game/launch.h"
#include "game/saves.h"
#include "platform/platform.h"
#include "testing/child_process.h"
#include "testing/game_process.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::ExecBits;

// Collects the watcher's report of the game's end.
class ExitCatcher {
 public:
  GameExitHandler handler() {
    return [this](uint32_t code) {
      std::lock_guard<std::mutex> lock(mutex_);
      code_ = code;
      ++calls_;
      changed_.notify_all();
    };
  }
  std::optional<uint32_t> wait(int timeoutMs = 20000) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return code_.has_value(); });
    return code_;
  }
  int calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<uint32_t> code_;
  int calls_ = 0;
};

class GameLaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(testing::installStandInGame(VANTOR_FAKEGAME_EXE, gameFolder_, ExecBits::Present));
  }

  // Starts the game, waits for its record and for its end; the arguments it
  // saw after the executable.
  std::vector<std::string> runAndRecord(const std::string& join, const std::string& options,
                                        uint32_t expectedExit = 0) {
    GameStart start = startGame(exe_, gameFolder_, join, options);
    EXPECT_TRUE(start.ok) << start.toast;
    if (!start.ok) return {};
    const int pid = start.process.pid();
    GameWatcher watcher;
    ExitCatcher exit;
    EXPECT_TRUE(watcher.watch(std::move(start.process), exit.handler()));
    json record = testing::waitForGameRecord(logsFolder(), pid);
    EXPECT_TRUE(record.is_object()) << "the game left no record";
    EXPECT_EQ(exit.wait(), std::optional<uint32_t>(expectedExit));
    if (!record.is_object()) return {};
    EXPECT_EQ(record["argv0"], exe_.string());
    EXPECT_EQ(fs::path(record["cwd"].get<std::string>()), fs::canonical(gameFolder_));
    return record["args"].get<std::vector<std::string>>();
  }

  testing::ScopedHome home_;
  fs::path gameFolder_ = home_.path() / "Vantor Launcher" / "game";
  fs::path exe_ = gameFolder_ / "Vantor";
};

TEST_F(GameLaunchTest, CommandLineWithAndWithoutConnect) {
  const json statusWithAddress{{"address", "127.0.0.1:7777"}};
  const json statusWithout = json::object();
  const std::string feed = "http://pilot:pw@localhost:8080/feed/stable";
  struct Case {
    const char* what;
    bool online;
    const char* server;
    json status;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"online, the status's address", true, "", statusWithAddress, {"--connect", "127.0.0.1:7777"}},
      {"online, the feed's host on port 3000", true, "", statusWithout, {"--connect", "localhost:3000"}},
      {"online with a server of the player's own", true, "my.server:1", statusWithAddress, {}},
      {"offline", false, "", statusWithAddress, {}},
  };
  for (const Case& c : cases) {
    PlayRequest request;
    request.executableExists = fs::exists(exe_);
    request.onlineEnabled = c.online;
    request.onlineServer = c.server;
    request.serverStatus = c.status;
    request.feedBase = feed;
    PlayDecision decision = decidePlay(request);
    ASSERT_TRUE(decision.start) << c.what << ": " << decision.refusal;
    EXPECT_EQ(runAndRecord(decision.joinAddress, ""), c.args) << c.what;
  }
}

TEST_F(GameLaunchTest, LaunchOptionsArriveAsWords) {
  testing::LogCapture log;
  const std::string options = R"(-windowed --name "Pilot One" 'it'\''s' back\ slash "a\"b" $HOME ~ * "")";
  EXPECT_EQ(runAndRecord("127.0.0.1:3000", options),
            (std::vector<std::string>{"--connect", "127.0.0.1:3000", "-windowed", "--name", "Pilot One", "it's",
                                      "back slash", "a\"b", "$HOME", "~", "*", ""}));
  ASSERT_EQ(log.messages("info").size(), 2u);
  EXPECT_EQ(log.messages("info")[0].rfind("Game started (pid ", 0), 0u) << log.messages("info")[0];
  EXPECT_NE(log.messages("info")[0].find(") joining 127.0.0.1:3000"), std::string::npos);
  EXPECT_EQ(log.messages("info")[1], "Game exited with code 0");
}

TEST_F(GameLaunchTest, SplittingMatchesTheSystemShell) {
  // Inputs without anything a shell would expand, so that sh's words are ours.
  const char* inputs[] = {
      R"(-a "b c" 'd e' f\ g)", R"("x\"y" 'p\q' r\\s)", R"(a'b'"c"d)", "\"\" ''", "one\\\ntwo", R"("\\\`")",
  };
  for (const char* input : inputs) {
    std::vector<std::string> ours;
    ASSERT_TRUE(splitLaunchOptions(input, ours)) << input;
    testing::ProcessResult sh = testing::runProcess(
        {"/bin/sh", "-c", std::string("for a in ") + input + "; do printf '%s\\0' \"$a\"; done"}, 20000);
    ASSERT_EQ(sh.exitCode, 0) << testing::describe(sh);
    std::vector<std::string> theirs;
    for (size_t start = 0; start < sh.out.size();) {
      size_t end = sh.out.find('\0', start);
      theirs.push_back(sh.out.substr(start, end - start));
      start = end + 1;
    }
    EXPECT_EQ(ours, theirs) << input;
  }
}

TEST_F(GameLaunchTest, UnbalancedQuoteFailsToStart) {
  testing::LogCapture log;
  GameStart start = startGame(exe_, gameFolder_, "", "--name \"Pilot");
  EXPECT_FALSE(start.ok);
  EXPECT_FALSE(start.process.valid());
  EXPECT_EQ(start.toast, "Couldn't start the game");
  const auto errors = log.messages("error");
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), "Starting the game failed (22)");
  EXPECT_FALSE(fs::exists(logsFolder() / "fakegame.json"));
}

TEST_F(GameLaunchTest, ArgumentTheSystemRefusesFailsToStart) {
  testing::LogCapture log;
  // One word longer than the kernel takes (128 KiB per argument).
  GameStart start = startGame(exe_, gameFolder_, "", std::string(200 * 1024, 'x'));
  EXPECT_FALSE(start.ok);
  EXPECT_EQ(start.toast, "Couldn't start the game");
  ASSERT_FALSE(log.messages("error").empty());
  EXPECT_EQ(log.messages("error").back(), "Starting the game failed (7)");  // E2BIG
}

TEST_F(GameLaunchTest, MissingExecutableFailsToStart) {
  fs::remove(exe_);
  GameStart start = startGame(exe_, gameFolder_, "", "");
  EXPECT_FALSE(start.ok);
  EXPECT_EQ(start.toast, "Couldn't start the game");
}

TEST_F(GameLaunchTest, ExitCodeZeroIsSilentOthersAndSignalsAreCrashes) {
  testing::LogCapture log;
  struct Case {
    const char* options;
    uint32_t code;
  };
  const Case cases[] = {{"", 0}, {"--exit-code 3", 3}, {"--signal 9", 137}, {"--signal 11", 139}};
  for (const Case& c : cases) {
    runAndRecord("", c.options, c.code);
    EXPECT_EQ(gameExitToast(c.code).empty(), c.code == 0) << c.options;
  }
  const auto info = log.messages("info");
  EXPECT_NE(std::find(info.begin(), info.end(), "Game exited with code 137"), info.end());
  EXPECT_NE(std::find(info.begin(), info.end(), "Game exited with code 3"), info.end());
}

TEST_F(GameLaunchTest, GameGetsItsOwnSessionAndDefaultSignals) {
  // The launcher's own signal state must not leak into the game: an ignored
  // SIGINT would keep it from dying of one, a blocked signal would hang it.
  testing::ScopedSignalState signals;
  GameStart start = startGame(exe_, gameFolder_, "", "--signal 2");
  ASSERT_TRUE(start.ok);
  const int pid = start.process.pid();
  GameWatcher watcher;
  ExitCatcher exit;
  ASSERT_TRUE(watcher.watch(std::move(start.process), exit.handler()));
  json record = testing::waitForGameRecord(logsFolder(), pid);
  ASSERT_TRUE(record.is_object());
  EXPECT_EQ(exit.wait(), std::optional<uint32_t>(130u));
  EXPECT_EQ(record["session"], pid);
  // The standard signals 1-31; the C library keeps two real-time ones of its own.
  auto standardSignals = [](const json& mask) { return std::stoull(mask.get<std::string>(), nullptr, 16) & 0x7fffffffu; };
  EXPECT_EQ(standardSignals(record["sigIgnored"]), 0u) << record["sigIgnored"];
  EXPECT_EQ(standardSignals(record["sigBlocked"]), 0u) << record["sigBlocked"];
}

TEST_F(GameLaunchTest, GameInheritsNoDescriptors) {
  testing::InheritableDescriptors open;
  ASSERT_GT(open.file(), 2);
  ASSERT_GT(open.socket(), 2);
  // The launcher's own game-lock test keeps nothing open either.
  (void)isGameRunning();
  GameStart start = startGame(exe_, gameFolder_, "", "");
  ASSERT_TRUE(start.ok);
  const int pid = start.process.pid();
  GameWatcher watcher;
  ExitCatcher exit;
  ASSERT_TRUE(watcher.watch(std::move(start.process), exit.handler()));
  json record = testing::waitForGameRecord(logsFolder(), pid);
  ASSERT_TRUE(record.is_object());
  EXPECT_EQ(exit.wait(), std::optional<uint32_t>(0u));
  for (const json& fd : record["fds"]) {
    EXPECT_LE(fd["fd"].get<int>(), 2) << "the game inherited " << fd.dump();
  }
}

TEST_F(GameLaunchTest, GameOutlivesTheWatchersStop) {
  const fs::path go = home_.path() / "let the game end";
  GameStart start = startGame(exe_, gameFolder_, "", "--wait-for '" + go.string() + "'");
  ASSERT_TRUE(start.ok);
  const int pid = start.process.pid();
  ExitCatcher exit;
  {
    GameWatcher watcher;
    ASSERT_TRUE(watcher.watch(std::move(start.process), exit.handler()));
    ASSERT_TRUE(testing::waitForGameRecord(logsFolder(), pid).is_object());
    watcher.requestStop();
    watcher.join();  // returns although the game still runs
    EXPECT_FALSE(watcher.joinable());
  }
  EXPECT_EQ(exit.calls(), 0) << "a stopped watcher reported an exit";
  EXPECT_TRUE(testing::processExists(pid));
  EXPECT_TRUE(isGameRunning());
  testing::writeFile(go, "");
  EXPECT_EQ(testing::reapChild(pid, 20000), 0);
  EXPECT_FALSE(isGameRunning());
}

TEST_F(GameLaunchTest, StopBeforeWatchingStartsNoWatcher) {
  GameWatcher watcher;
  watcher.requestStop();
  GameStart start = startGame(exe_, gameFolder_, "", "--hold-ms 100");
  ASSERT_TRUE(start.ok);
  const int pid = start.process.pid();
  ExitCatcher exit;
  EXPECT_TRUE(watcher.watch(std::move(start.process), exit.handler()));
  EXPECT_FALSE(watcher.joinable());
  EXPECT_EQ(testing::reapChild(pid, 20000), 0);
  EXPECT_EQ(exit.calls(), 0);
}

TEST_F(GameLaunchTest, MissingExecuteBitsAreRestored) {
  ASSERT_NO_FATAL_FAILURE(testing::installStandInGame(VANTOR_FAKEGAME_EXE, gameFolder_, ExecBits::Missing));
  EXPECT_EQ(runAndRecord("", ""), std::vector<std::string>{});
  const fs::perms mode = fs::status(exe_).permissions();
  EXPECT_NE(mode & fs::perms::owner_exec, fs::perms::none);
}

TEST_F(GameLaunchTest, GameStartedByHandCountsAsRunning) {
  const fs::path go = home_.path() / "go";
  testing::ChildProcess byHand({VANTOR_FAKEGAME_EXE, "--wait-for", go.string()});
  ASSERT_TRUE(byHand.started()) << byHand.error();
  ASSERT_TRUE(testing::waitForGameRecord(logsFolder(), byHand.pid()).is_object()) << byHand.err();
  PlayRequest request;
  request.gameLockHeld = isGameRunning();
  request.executableExists = true;
  PlayDecision decision = decidePlay(request);
  EXPECT_FALSE(decision.start);
  EXPECT_EQ(decision.refusal, "The game is already running");
  testing::writeFile(go, "");
  EXPECT_EQ(byHand.wait(20000), 0);
  request.gameLockHeld = isGameRunning();
  EXPECT_TRUE(decidePlay(request).start);
}

TEST_F(GameLaunchTest, SettingsAndSavesTheGameWroteAreSeenAfterItEnds) {
  GameSettings before = defaultGameSettings();
  before.online.name = "Rookie";
  ASSERT_TRUE(saveGameSettings(before, settingsPath()));
  runAndRecord("", R"(--set-setting 'online.name="Ace"' --write-save 'slot 1.sav=progress')");
  // What the launcher does when the game has ended: read both again.
  EXPECT_EQ(loadGameSettings(settingsPath()).online.name, "Ace");
  json summary = scanSavesSummary({savesFolder(), backupsFolder()});
  EXPECT_EQ(summary["files"], 1);
  EXPECT_EQ(summary["bytes"], 8u);
}

}  // namespace
}  // namespace launcher
