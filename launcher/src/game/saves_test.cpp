#include "game/saves.h"

#include "testing/game_process.h"
#include "testing/linux_only.h"
#include "testing/scoped_tmpfs.h"
#include "testing/temp_dir.h"

#include <fmt/format.h>
#include <fmt/chrono.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <system_error>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using std::chrono::system_clock;
using testing::readFile;
using testing::writeFile;

std::vector<std::string> folderNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class SavesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(folders_.backups);
    writeFile(folders_.saves / "slot1.sav", "first");
    writeFile(folders_.saves / "profiles" / "pilot.json", "{\"rank\": 1}");
  }

  // A time whose local name is known: now, to the second.
  static system_clock::time_point at(int secondsFromNow) {
    return system_clock::now() + std::chrono::seconds(secondsFromNow);
  }

  testing::TempDir dir_;
  SavesFolders folders_{dir_ / "saves", dir_ / "backups"};
};

TEST(BackupNameTest, LocalTimeToTheSecond) {
  const system_clock::time_point when = system_clock::now();
  const std::time_t t = system_clock::to_time_t(when);
  // fmt's local time, not localtime_r: Windows has no localtime_r.
  const std::tm local = fmt::localtime(t);
  char expected[32];
  std::strftime(expected, sizeof expected, "%Y-%m-%d_%H%M%S", &local);
  EXPECT_EQ(backupNameFor(when), expected);
  EXPECT_TRUE(isLauncherBackupName(expected));
}

TEST(BackupNameTest, OnlyTheLaunchersNamesArePruned) {
  struct Case {
    const char* name;
    bool ours;
  };
  const Case cases[] = {
      {"2026-12-03_210212", true},
      {"2026-12-03_210212_before_restore", true},
      {"2026-12-03_210212_before_restore_2", true},
      {"2026-12-03_210212_before_restore_17", true},
      {"2026-12-03_210212_before_restore_1", false},
      {"2026-12-03_210212_before_restore_02", false},
      {"2026-12-03_210212_before_restore_", false},
      {"2026-12-03_210212_mine", false},
      {"2026-12-03_21021", false},
      {"2026-12-03 210212", false},
      {"2026_12-03_210212", false},
      {"my backups", false},
      {"", false},
      {"..", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isLauncherBackupName(c.name), c.ours) << c.name;
}

TEST_F(SavesTest, SummaryCountsFilesAndListsBackupsNewestFirst) {
  VANTOR_LINUX_ONLY("symbolic links a test makes (wine's CreateSymbolicLinkW makes none)");
  writeFile(folders_.backups / "2026-01-01_100000" / "a.sav", "12345");
  writeFile(folders_.backups / "2026-01-02_100000_before_restore" / "b.sav", "1");
  writeFile(folders_.backups / "stray-file.txt", "not a backup");
  fs::create_directory_symlink(folders_.saves, folders_.backups / "2026-01-03_100000");
  fs::create_symlink(folders_.saves / "slot1.sav", folders_.saves / "link.sav");

  json summary = scanSavesSummary(folders_);
  EXPECT_EQ(summary["files"], 2);  // the link is not a file of the saves
  EXPECT_EQ(summary["bytes"], 5u + 11u);
  ASSERT_EQ(summary["backups"].size(), 2u);  // a link is no backup, a file neither
  EXPECT_EQ(summary["backups"][0], (json{{"name", "2026-01-02_100000_before_restore"}, {"files", 1}, {"bytes", 1}}));
  EXPECT_EQ(summary["backups"][1], (json{{"name", "2026-01-01_100000"}, {"files", 1}, {"bytes", 5}}));

  json empty = scanSavesSummary({dir_ / "no saves", dir_ / "no backups"});
  EXPECT_EQ(empty, (json{{"files", 0}, {"bytes", 0}, {"backups", json::array()}}));
}

TEST_F(SavesTest, TwentyKeptAfterTheTwentyFirst) {
  VANTOR_LINUX_ONLY("symbolic links a test makes (wine's CreateSymbolicLinkW makes none)");
  for (int day = 1; day <= 20; ++day) {
    writeFile(folders_.backups / fmt::format("2020-01-{:02}_120000", day) / "old.sav", "old");
  }
  // Not the launcher's: never pruned, never counted.
  writeFile(folders_.backups / "my backups" / "keep.sav", "mine");
  writeFile(dir_ / "elsewhere" / "keep.sav", "elsewhere");
  fs::create_directory_symlink(dir_ / "elsewhere", folders_.backups / "2000-01-01_000000");

  const system_clock::time_point now = at(0);
  SavesJobResult result = runSavesBackup(folders_, now);
  ASSERT_EQ(result.error, "");
  EXPECT_EQ(result.toast, "Saves backed up");

  std::vector<std::string> names = folderNames(folders_.backups);
  EXPECT_EQ(std::count_if(names.begin(), names.end(), isLauncherBackupName), 21);  // 20 folders + the link
  EXPECT_FALSE(fs::exists(folders_.backups / "2020-01-01_120000"));
  EXPECT_TRUE(fs::exists(folders_.backups / "2020-01-02_120000"));
  EXPECT_EQ(readFile(folders_.backups / backupNameFor(now) / "slot1.sav"), "first");
  EXPECT_EQ(readFile(folders_.backups / "my backups" / "keep.sav"), "mine");
  EXPECT_TRUE(fs::is_symlink(folders_.backups / "2000-01-01_000000"));
  EXPECT_EQ(readFile(dir_ / "elsewhere" / "keep.sav"), "elsewhere");
}

// An old backup that cannot be deleted (root in CI: an immutable file in it)
// neither turns the backup just made into a failure nor stops the pruning of
// the older ones behind it.
TEST_F(SavesTest, AFailedDeletionWhilePruningNeitherFailsTheBackupNorStopsThePruning) {
  for (int day = 1; day <= 21; ++day) {
    writeFile(folders_.backups / fmt::format("2020-01-{:02}_120000", day) / "old.sav", "old");
  }
  // Pruned newest first: the 2nd goes before the 1st.
  const fs::path stuck = folders_.backups / "2020-01-02_120000";
  writeFile(stuck / "locked.sav", "locked");
  testing::ScopedImmutable locked(stuck / "locked.sav");
  if (!locked.ok()) GTEST_SKIP() << locked.skipReason();

  const system_clock::time_point now = at(0);
  SavesJobResult result = runSavesBackup(folders_, now);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.toast, "Saves backed up");
  EXPECT_EQ(readFile(folders_.backups / backupNameFor(now) / "slot1.sav"), "first");
  EXPECT_EQ(readFile(folders_.backups / backupNameFor(now) / "profiles" / "pilot.json"), "{\"rank\": 1}");
  EXPECT_FALSE(fs::exists(folders_.backups / "2020-01-01_120000")) << "the pruning stopped at the failure";
  EXPECT_EQ(readFile(stuck / "locked.sav"), "locked");
  for (int day = 3; day <= 21; ++day) {
    EXPECT_EQ(readFile(folders_.backups / fmt::format("2020-01-{:02}_120000", day) / "old.sav"), "old") << day;
  }
  EXPECT_EQ(folderNames(folders_.backups).size(), 21u);  // the new one, the stuck one, 19 kept
}

TEST_F(SavesTest, TheBackupJustMadeIsNeverPruned) {
  // A clock set back: every existing backup is named later than the new one.
  for (int day = 1; day <= 20; ++day) {
    writeFile(folders_.backups / fmt::format("2099-01-{:02}_120000", day) / "future.sav", "f");
  }
  const system_clock::time_point now = at(0);
  ASSERT_EQ(runSavesBackup(folders_, now).error, "");
  EXPECT_TRUE(fs::exists(folders_.backups / backupNameFor(now) / "slot1.sav"));
  EXPECT_EQ(folderNames(folders_.backups).size(), 20u);
  EXPECT_FALSE(fs::exists(folders_.backups / "2099-01-01_120000"));
}

TEST_F(SavesTest, TwoBackupsInOneSecondShareOneFolder) {
  const system_clock::time_point now = at(0);
  ASSERT_EQ(runSavesBackup(folders_, now).error, "");
  writeFile(folders_.saves / "slot1.sav", "second");
  ASSERT_EQ(runSavesBackup(folders_, now).error, "");
  EXPECT_EQ(folderNames(folders_.backups), std::vector<std::string>{backupNameFor(now)});
  EXPECT_EQ(readFile(folders_.backups / backupNameFor(now) / "slot1.sav"), "second");
  EXPECT_EQ(scanSavesSummary(folders_)["backups"].size(), 1u);
}

TEST_F(SavesTest, MissingSavesFolderFailsWithTheSystemsText) {
  fs::remove_all(folders_.saves);
  SavesJobResult result = runSavesBackup(folders_, at(0));
  EXPECT_EQ(result.error, "Backup failed: " + std::make_error_code(std::errc::no_such_file_or_directory).message());
  EXPECT_EQ(result.toast, "");
  // The folder this backup created is gone again.
  EXPECT_TRUE(folderNames(folders_.backups).empty());
}

TEST_F(SavesTest, BackupIntoAFullDiskRemovesItsPartialFolder) {
  testing::ScopedTmpfs small(dir_ / "small", 256 * 1024);
  if (!small.mounted()) GTEST_SKIP() << small.skipReason();
  writeFile(folders_.saves / "a-small.sav", "small");
  writeFile(folders_.saves / "z-huge.sav", std::string(1024 * 1024, 'h'));
  const SavesFolders onSmall{folders_.saves, small.path() / "backups"};
  fs::create_directories(onSmall.backups);
  writeFile(onSmall.backups / "2020-01-01_120000" / "old.sav", "old");

  SavesJobResult result = runSavesBackup(onSmall, at(0));
  EXPECT_EQ(result.error, "Backup failed: " + std::make_error_code(std::errc::no_space_on_device).message());
  EXPECT_EQ(folderNames(onSmall.backups), std::vector<std::string>{"2020-01-01_120000"});
}

TEST_F(SavesTest, RestoreRequestsAreCheckedAndReducedToOneName) {
  VANTOR_LINUX_ONLY("symbolic links a test makes (wine's CreateSymbolicLinkW makes none)");
  writeFile(folders_.backups / "2026-01-01_100000" / "a.sav", "a");
  writeFile(folders_.backups / "a-file", "x");
  fs::create_directory_symlink(folders_.saves, folders_.backups / "link");
  writeFile(dir_ / "x" / "not-a-backup.sav", "x");  // data / x exists, backups / x does not

  struct Case {
    std::string name;
    std::string toast;  // "" means accepted
  };
  const Case cases[] = {
      {"2026-01-01_100000", ""},
      {"../../elsewhere/2026-01-01_100000", ""},
      {"..\\..\\2026-01-01_100000", ""},
      {"", "That backup is gone"},
      {".", "That backup is gone"},
      {"..", "That backup is gone"},
      {"../x", "That backup is gone"},
      {"a/..", "That backup is gone"},
      {"2026-01-01_100000/", "That backup is gone"},
      {"..\\", "That backup is gone"},
      {"a-file", "That backup is gone"},
      {"link", "That backup is gone"},
      {"missing", "That backup is gone"},
      {std::string("2026-01-01_100000\0x", 19), "That backup is gone"},
  };
  for (const Case& c : cases) {
    RestoreCheck check = checkRestoreRequest(c.name, folders_.backups, false);
    EXPECT_EQ(check.toast, c.toast) << c.name;
    EXPECT_EQ(check.ok, c.toast.empty()) << c.name;
    if (check.ok) {
      EXPECT_EQ(check.backup, folders_.backups / "2026-01-01_100000") << c.name;
    }
  }
  RestoreCheck running = checkRestoreRequest("2026-01-01_100000", folders_.backups, true);
  EXPECT_FALSE(running.ok);
  EXPECT_EQ(running.toast, "Close the game first");
}

TEST_F(SavesTest, RestoreBacksUpFirstAndRestoringThatBringsTheSavesBack) {
  const system_clock::time_point t1 = at(-10);
  ASSERT_EQ(runSavesBackup(folders_, t1).error, "");
  const fs::path first = folders_.backups / backupNameFor(t1);

  // The player goes on: one save changes, one is new, one is gone.
  writeFile(folders_.saves / "slot1.sav", "later");
  writeFile(folders_.saves / "slot2.sav", "new");
  fs::remove_all(folders_.saves / "profiles");

  const system_clock::time_point t2 = at(0);
  SavesJobResult restored = runSavesRestore(folders_, first, [] { return false; }, t2);
  ASSERT_EQ(restored.error, "");
  EXPECT_EQ(restored.toast, "Saves restored");
  EXPECT_EQ(readFile(folders_.saves / "slot1.sav"), "first");
  EXPECT_FALSE(fs::exists(folders_.saves / "slot2.sav"));
  EXPECT_EQ(readFile(folders_.saves / "profiles" / "pilot.json"), "{\"rank\": 1}");
  const fs::path safety = folders_.backups / (backupNameFor(t2) + "_before_restore");
  EXPECT_EQ(readFile(safety / "slot1.sav"), "later");
  EXPECT_EQ(readFile(safety / "slot2.sav"), "new");

  // Undo, in the same second: the new safety backup must not overwrite the
  // one being restored from.
  SavesJobResult undone = runSavesRestore(folders_, safety, [] { return false; }, t2);
  ASSERT_EQ(undone.error, "");
  EXPECT_EQ(readFile(folders_.saves / "slot1.sav"), "later");
  EXPECT_EQ(readFile(folders_.saves / "slot2.sav"), "new");
  EXPECT_FALSE(fs::exists(folders_.saves / "profiles"));
  EXPECT_EQ(readFile(safety / "slot1.sav"), "later");
  const fs::path second = folders_.backups / (backupNameFor(t2) + "_before_restore_2");
  EXPECT_EQ(readFile(second / "slot1.sav"), "first");
  EXPECT_TRUE(isLauncherBackupName(second.filename().string()));
}

TEST_F(SavesTest, RestoreWhoseBackupVanishedWhileQueuedTouchesNothing) {
  writeFile(folders_.backups / "2026-01-01_100000" / "slot1.sav", "old");
  RestoreCheck check = checkRestoreRequest("2026-01-01_100000", folders_.backups, false);
  ASSERT_TRUE(check.ok);
  fs::remove_all(check.backup);  // pruned by a backup that ran first

  SavesJobResult result = runSavesRestore(folders_, check.backup, [] { return false; }, at(0));
  EXPECT_EQ(result.error, "That backup is gone");
  EXPECT_EQ(result.toast, "");
  EXPECT_EQ(readFile(folders_.saves / "slot1.sav"), "first");
  EXPECT_TRUE(folderNames(folders_.backups).empty()) << "a safety backup was made for nothing";
}

TEST_F(SavesTest, RestoreWhileTheGameRunsTouchesNothing) {
  writeFile(folders_.backups / "2026-01-01_100000" / "slot1.sav", "old");
  SavesJobResult result =
      runSavesRestore(folders_, folders_.backups / "2026-01-01_100000", [] { return true; }, at(0));
  EXPECT_EQ(result.error, "Close the game first");
  EXPECT_EQ(readFile(folders_.saves / "slot1.sav"), "first");
  EXPECT_EQ(folderNames(folders_.backups).size(), 1u);
}

TEST_F(SavesTest, RestoreThatCannotEmptyTheSavesFailsAndTheSafetyBackupHoldsThem) {
  writeFile(folders_.backups / "2026-01-01_100000" / "slot1.sav", "old");
  writeFile(folders_.saves / "locked.sav", "locked");
  testing::ScopedImmutable locked(folders_.saves / "locked.sav");
  if (!locked.ok()) GTEST_SKIP() << locked.skipReason();

  const system_clock::time_point now = at(0);
  SavesJobResult result = runSavesRestore(folders_, folders_.backups / "2026-01-01_100000", [] { return false; }, now);
  EXPECT_EQ(result.error, "Restore failed: " + std::make_error_code(std::errc::operation_not_permitted).message());
  EXPECT_EQ(result.toast, "");
  const fs::path safety = folders_.backups / (backupNameFor(now) + "_before_restore");
  EXPECT_EQ(readFile(safety / "slot1.sav"), "first");
  EXPECT_EQ(readFile(safety / "locked.sav"), "locked");
  EXPECT_EQ(readFile(safety / "profiles" / "pilot.json"), "{\"rank\": 1}");
}

TEST_F(SavesTest, SafetyBackupIntoAFullDiskLeavesTheSavesUntouched) {
  testing::ScopedTmpfs small(dir_ / "small", 256 * 1024);
  if (!small.mounted()) GTEST_SKIP() << small.skipReason();
  writeFile(folders_.saves / "z-huge.sav", std::string(1024 * 1024, 'h'));
  const SavesFolders onSmall{folders_.saves, small.path() / "backups"};
  writeFile(onSmall.backups / "2026-01-01_100000" / "slot1.sav", "old");

  SavesJobResult result =
      runSavesRestore(onSmall, onSmall.backups / "2026-01-01_100000", [] { return false; }, at(0));
  EXPECT_EQ(result.error, "Restore failed: " + std::make_error_code(std::errc::no_space_on_device).message());
  EXPECT_EQ(readFile(folders_.saves / "slot1.sav"), "first");
  EXPECT_EQ(fs::file_size(folders_.saves / "z-huge.sav"), 1024u * 1024u);
  EXPECT_EQ(folderNames(onSmall.backups), std::vector<std::string>{"2026-01-01_100000"});
}

TEST_F(SavesTest, RestoreKeepsLinksAsLinks) {
  VANTOR_LINUX_ONLY("symbolic links a test makes (wine's CreateSymbolicLinkW makes none)");
  writeFile(dir_ / "outside" / "big.bin", "outside");
  const fs::path backup = folders_.backups / "2026-01-01_100000";
  writeFile(backup / "slot1.sav", "old");
  fs::create_directory_symlink(dir_ / "outside", backup / "linked");
  ASSERT_EQ(runSavesRestore(folders_, backup, [] { return false; }, at(0)).error, "");
  EXPECT_TRUE(fs::is_symlink(folders_.saves / "linked"));
  EXPECT_EQ(readFile(dir_ / "outside" / "big.bin"), "outside");
}

}  // namespace
}  // namespace launcher
