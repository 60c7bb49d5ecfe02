// Backups and restores through the page's commands and the job queue: the
// job worker runs them while the UI thread (the test) goes on.
#include "app/launcher_app.h"

#include "data/paths.h"
#include "platform/platform.h"
#include "testing/app_harness.h"
#include "testing/folder_faults.h"
#include "testing/linux_only.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::AppHarness;
using testing::TempDir;

// The position of the first job of `kind` in a state's queue, or -1.
int queuePosition(const json& state, const std::string& kind) {
  for (size_t i = 0; i < state["queue"].size(); ++i) {
    if (state["queue"][i]["kind"] == kind) return static_cast<int>(i);
  }
  return -1;
}

// Every regular file under `folder` with its bytes, by relative path.
std::map<std::string, std::string> filesIn(const fs::path& folder) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file()) out[fs::relative(it->path(), folder).generic_string()] = testing::readFile(it->path());
  }
  return out;
}

void writeSaves(const std::map<std::string, std::string>& files) {
  fs::remove_all(savesFolder());
  for (const auto& [name, bytes] : files) testing::writeFile(savesFolder() / name, bytes);
}

class GlueThreadsSavesCommandsTest : public ::testing::Test {
 protected:
  // Runs one command's job to its end; the toasts it showed.
  std::vector<std::string> runJob(const json& command) {
    const size_t before = h.shell().toasts().size();
    h.command(command);
    EXPECT_TRUE(h.waitForIdleQueue());
    h.pump();
    const auto all = h.shell().toasts();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
  }

  // Holds the worker with a running job until release().
  void holdTheWorker() {
    Job job;
    job.kind = "addon";
    job.target = "holder";
    job.label = "Holder";
    job.body = [this] {
      while (!release_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return std::string();
    };
    ASSERT_TRUE(h.app().jobs().enqueue(std::move(job), QueuePosition::Back));
    ASSERT_FALSE(h.waitForState([](const json& s) { return s["task"].is_object(); }).is_null());
  }
  void release() { release_ = true; }

  TempDir dir;
  AppHarness h{dir / "launcher"};
  std::atomic<bool> release_{false};
};

// Two scans overlap: one began before a backup (held here half-way, after it
// listed the backups) and the backup job's own scan, which sees the new
// backup. The older scan ends last and must not put back what it saw.
TEST_F(GlueThreadsSavesCommandsTest, AnOlderScanEndingLastNeverHidesANewerBackup) {
  VANTOR_LINUX_ONLY("readdir interposed in the test binary");
  writeSaves({{"slot 1.sav", "progress"}});
  const fs::path older = backupsFolder() / "2026-01-01_000000";
  testing::writeFile(older / "slot 1.sav", "old progress");
  std::thread first;
  {
    testing::FolderReadGate gate(older);
    first = std::thread([this] { h.app().scanSaves(); });
    ASSERT_TRUE(gate.waitUntilHeld(30000));
    runJob({{"cmd", "backupSaves"}});
    const json during = h.app().buildState()["saves"];
    ASSERT_EQ(during["backups"].size(), 2u) << during.dump();
    gate.release();
    first.join();
    EXPECT_FALSE(gate.timedOut());
  }
  const json after = h.app().buildState()["saves"];
  EXPECT_EQ(after["backups"].size(), 2u) << "the older scan replaced the newer: " << after.dump();
}

TEST_F(GlueThreadsSavesCommandsTest, BackupRestoreAndRestoringTheSafetyBackupBringsTheSavesBack) {
  const std::map<std::string, std::string> earlier{{"slot1.sav", "earlier"}, {"profiles/pilot.cfg", "cfg"}};
  const std::map<std::string, std::string> later{{"slot1.sav", "later!"}, {"slot2.sav", "new"}};
  writeSaves(earlier);
  EXPECT_EQ(runJob({{"cmd", "backupSaves"}}), std::vector<std::string>{"Saves backed up"});
  json s = h.latestStateWhen([](const json& st) { return st["saves"]["backups"].size() == 1; });
  ASSERT_FALSE(s.is_null());
  const std::string backup = s["saves"]["backups"][0]["name"];
  EXPECT_EQ(s["saves"]["backups"][0]["files"], 2);

  writeSaves(later);
  EXPECT_EQ(runJob({{"cmd", "restoreBackup"}, {"name", backup}}), std::vector<std::string>{"Saves restored"});
  EXPECT_EQ(filesIn(savesFolder()), earlier);
  s = h.latestStateWhen([](const json& st) { return st["saves"]["backups"].size() == 2; });
  ASSERT_FALSE(s.is_null()) << "no safety backup";
  std::string safety;
  for (const json& b : s["saves"]["backups"]) {
    if (b["name"].get<std::string>().find("_before_restore") != std::string::npos) safety = b["name"];
  }
  ASSERT_FALSE(safety.empty()) << s["saves"].dump();
  EXPECT_EQ(filesIn(backupsFolder() / safety), later);
  EXPECT_EQ(s["saves"]["files"], 2);
  EXPECT_EQ(s["saves"]["bytes"], 10u);

  // The page may send a name with folders in front: only the last part counts.
  EXPECT_EQ(runJob({{"cmd", "restoreBackup"}, {"name", "../../elsewhere/" + safety}}),
            std::vector<std::string>{"Saves restored"});
  EXPECT_EQ(filesIn(savesFolder()), later);
  EXPECT_EQ(filesIn(backupsFolder() / backup), earlier) << "a restore never changes its source";
}

TEST_F(GlueThreadsSavesCommandsTest, NamesThatAreNoBackupAndARunningGameAreRefusedAtOnce) {
  writeSaves({{"slot1.sav", "x"}});
  testing::writeFile(backupsFolder() / "2024-01-01_100000" / "slot1.sav", "old");
  testing::writeFile(backupsFolder() / "a-file", "not a folder");
  for (const std::string name : {"", ".", "..", "../x", "..\\..", "a-file", "2024-01-02_100000", "x/"}) {
    const size_t before = h.shell().toasts().size();
    h.command({{"cmd", "restoreBackup"}, {"name", name}});
    h.pump();
    ASSERT_EQ(h.shell().toasts().size(), before + 1) << name;
    EXPECT_EQ(h.shell().toasts().back(), "That backup is gone") << name;
  }
  GameLock game;
  std::string error;
  ASSERT_TRUE(game.acquire(error)) << error;
  h.command({{"cmd", "restoreBackup"}, {"name", "2024-01-01_100000"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts().back(), "Close the game first");
  game.release();
  LauncherAppProbe::setGameRunning(h.app(), true);  // started, lock not taken yet
  h.command({{"cmd", "restoreBackup"}, {"name", "2024-01-01_100000"}});
  h.pump();
  EXPECT_EQ(h.shell().toasts().back(), "Close the game first");
  EXPECT_EQ(h.app().buildState()["queue"], json::array());
  EXPECT_EQ(filesIn(savesFolder()), (std::map<std::string, std::string>{{"slot1.sav", "x"}}));
}

// The backup is pruned (or deleted by hand) while the restore waits behind
// another job: the restore must notice when it starts, not empty the saves.
TEST_F(GlueThreadsSavesCommandsTest, ARestoreWhoseSourceVanishedWhileQueuedLeavesTheSavesUntouched) {
  const std::map<std::string, std::string> current{{"slot1.sav", "current"}};
  testing::writeFile(backupsFolder() / "2024-01-01_100000" / "slot1.sav", "old");
  writeSaves(current);
  ASSERT_NO_FATAL_FAILURE(holdTheWorker());
  h.command({{"cmd", "restoreBackup"}, {"name", "2024-01-01_100000"}});
  const json queued = h.latestStateWhen([](const json& s) { return s["queue"].size() == 2; });
  ASSERT_FALSE(queued.is_null());
  const int restore = queuePosition(queued, "restore");
  ASSERT_GE(restore, 0);
  EXPECT_EQ(queued["queue"][restore]["label"], "Restoring saves");
  EXPECT_EQ(queued["queue"][restore]["active"], false);
  fs::remove_all(backupsFolder() / "2024-01-01_100000");
  release();
  ASSERT_TRUE(h.waitForIdleQueue());
  EXPECT_EQ(h.latestStateWhen([](const json& s) { return s["queue"].empty(); })["taskError"], "That backup is gone");
  EXPECT_EQ(filesIn(savesFolder()), current);
  EXPECT_TRUE(fs::is_empty(backupsFolder())) << "no safety backup of an aborted restore";
  ASSERT_TRUE(h.pumpUntil([&] { return !h.shell().toasts().empty(); }));
  EXPECT_EQ(h.shell().toasts().back(), "That backup is gone");
}

// The game started (by hand, or by PLAY) while the restore waited.
TEST_F(GlueThreadsSavesCommandsTest, ARestoreQueuedBeforeTheGameStartedLeavesTheSavesUntouched) {
  const std::map<std::string, std::string> current{{"slot1.sav", "current"}};
  testing::writeFile(backupsFolder() / "2024-01-01_100000" / "slot1.sav", "old");
  writeSaves(current);
  for (const bool byLock : {true, false}) {
    release_ = false;
    ASSERT_NO_FATAL_FAILURE(holdTheWorker());
    h.command({{"cmd", "restoreBackup"}, {"name", "2024-01-01_100000"}});
    ASSERT_FALSE(h.latestStateWhen([](const json& s) { return s["queue"].size() == 2; }).is_null());
    GameLock game;
    std::string error;
    if (byLock) {
      ASSERT_TRUE(game.acquire(error)) << error;
    } else {
      LauncherAppProbe::setGameRunning(h.app(), true);
    }
    release();
    ASSERT_TRUE(h.waitForIdleQueue());
    EXPECT_EQ(h.latestStateWhen([](const json& s) { return s["queue"].empty(); })["taskError"], "Close the game first");
    EXPECT_EQ(filesIn(savesFolder()), current);
    game.release();
    LauncherAppProbe::setGameRunning(h.app(), false);
  }
  size_t folders = 0;
  for (const auto& entry : fs::directory_iterator(backupsFolder())) folders += entry.is_directory();
  EXPECT_EQ(folders, 1u) << "no safety backup of a restore that never began";
}

TEST_F(GlueThreadsSavesCommandsTest, BackupsWaitAtTheFrontAndTheNewestTwentyStay) {
  writeSaves({{"slot1.sav", "x"}});
  for (int day = 1; day <= 20; ++day) {
    char name[32];
    std::snprintf(name, sizeof name, "2020-01-%02d_120000", day);
    testing::writeFile(backupsFolder() / name / "slot1.sav", "old");
  }
  testing::writeFile(backupsFolder() / "my own copy" / "slot1.sav", "kept");  // not one of ours: never pruned
  ASSERT_NO_FATAL_FAILURE(holdTheWorker());
  Job later;
  later.kind = "game";
  later.label = "Astrane: Vantor";
  later.body = [] { return std::string(); };
  ASSERT_TRUE(h.app().jobs().enqueue(std::move(later), QueuePosition::Back));
  h.command({{"cmd", "backupSaves"}});
  h.command({{"cmd", "backupSaves"}});  // the same job twice: queued once
  const json queued = h.latestStateWhen([](const json& s) { return s["queue"].size() == 3; });
  ASSERT_FALSE(queued.is_null());
  const int backup = queuePosition(queued, "backup");
  ASSERT_GE(backup, 0);
  EXPECT_LT(backup, queuePosition(queued, "game")) << "ahead of the job that waited before it";
  EXPECT_EQ(queued["queue"][backup]["label"], "Backing up saves");
  release();
  ASSERT_TRUE(h.waitForIdleQueue());
  const json s = h.latestStateWhen([](const json& st) { return st["saves"]["backups"].size() == 21; });
  ASSERT_FALSE(s.is_null()) << h.shell().lastState()["saves"].dump();
  EXPECT_FALSE(fs::exists(backupsFolder() / "2020-01-01_120000")) << "the oldest went";
  EXPECT_TRUE(fs::exists(backupsFolder() / "2020-01-02_120000"));
  EXPECT_TRUE(fs::exists(backupsFolder() / "my own copy"));
}

}  // namespace
}  // namespace launcher
