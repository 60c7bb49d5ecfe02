// The Windows bodies where they differ from Linux's: processes by handle,
// named mutexes, the known folders, replacing moves, command-line quoting.
#include "platform/file_copy.h"
#include "platform/game_process.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/windows/win_helpers.h"
#include "data/install_registration.h"
#include "data/paths.h"
#include "testing/temp_dir.h"
#include "update/location.h"

#include <shellapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// The test binary started again to run one of the helpers below, which only
// run when asked for by name.
std::vector<std::string> helper(const std::string& name) {
  return {toUtf8(executablePath()), "--gtest_also_run_disabled_tests", "--gtest_filter=WindowsChild.DISABLED_" + name};
}

TEST(WindowsChild, DISABLED_ExitsWithSeven) { std::exit(7); }

TEST(WindowsChild, DISABLED_RunsForAMinute) { std::this_thread::sleep_for(std::chrono::minutes(1)); }

TEST(WindowsChild, DISABLED_CrashCodeHasTheTopBitSet) { std::_Exit(static_cast<int>(0xC0000005u)); }

TEST(WindowsGameProcess, TheExitCodeIsSeenAsAnUnsignedNumber) {
  for (const auto& [name, code] : {std::pair<std::string, uint32_t>{"ExitsWithSeven", 7u},
                                   std::pair<std::string, uint32_t>{"CrashCodeHasTheTopBitSet", 0xC0000005u}}) {
    GameProcess process;
    int errorCode = 0;
    std::string error;
    ASSERT_TRUE(startGameProcess(helper(name), fs::current_path(), process, errorCode, error)) << error;
    EXPECT_GT(process.pid(), 0);
    StopEvent stop;
    const WaitOutcome outcome = waitForExitOrStop(process, stop);
    EXPECT_EQ(outcome.end, WaitEnd::Exited) << name;
    EXPECT_EQ(outcome.exitCode, code) << name;
    EXPECT_FALSE(process.valid()) << "the handle stays with a process that ended";
  }
}

TEST(WindowsGameProcess, AStopEndsTheWaitAndLeavesTheGameRunning) {
  GameProcess process;
  int errorCode = 0;
  std::string error;
  ASSERT_TRUE(startGameProcess(helper("RunsForAMinute"), fs::current_path(), process, errorCode, error)) << error;
  const int pid = process.pid();
  StopEvent stop;
  std::thread stopper([&] { stop.signal(); });
  const WaitOutcome outcome = waitForExitOrStop(process, stop);
  stopper.join();
  EXPECT_EQ(outcome.end, WaitEnd::Stopped);
  EXPECT_TRUE(process.valid());
  HANDLE running = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
  ASSERT_NE(running, nullptr) << "the stop ended the game";
  EXPECT_EQ(::WaitForSingleObject(running, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ::TerminateProcess(running, 0);
  ::WaitForSingleObject(running, 10000);
  ::CloseHandle(running);
}

TEST(WindowsGameProcess, AProgramThatCannotStartFailsWithTheSystemsReason) {
  TempDir dir;
  GameProcess process;
  int errorCode = 0;
  std::string error;
  EXPECT_FALSE(startGameProcess({toUtf8(dir / "missing" / "Vantor.exe")}, dir.path(), process, errorCode, error));
  EXPECT_TRUE(errorCode == ERROR_FILE_NOT_FOUND || errorCode == ERROR_PATH_NOT_FOUND) << errorCode;
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(process.valid());
  EXPECT_FALSE(startGameProcess({}, dir.path(), process, errorCode, error));
}

TEST(WindowsCommandLine, EveryArgumentComesBackAsItWasGiven) {
  const std::vector<std::string> rows[] = {
      {"C:\\Games\\Vantor.exe"},
      {"C:\\Program Files\\Vantor\\Vantor.exe", "--connect", "play.example:3000"},
      {"a.exe", "", "two words", "tab\there"},
      {"a.exe", "say \"hi\"", "end\\", "end\\\\", "mid\\dle", "\\\"quoted\\\"", "trailing space "},
      {"a.exe", "\xc3\xa9t\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac"},
  };
  for (const auto& argv : rows) {
    const std::wstring line = win::commandLine(argv);
    int count = 0;
    LPWSTR* parsed = ::CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(parsed, nullptr);
    std::vector<std::string> back;
    for (int i = 0; i < count; ++i) back.push_back(win::narrow(parsed[i]));
    ::LocalFree(parsed);
    EXPECT_EQ(back, argv) << win::narrow(line);
  }
}

TEST(WindowsSpawn, AChildRunsInItsFolderAndTheLauncherDoesNotWait) {
  TempDir dir;
  fs::create_directories(dir / "work");
  const std::optional<std::string> shell = environmentVariable("ComSpec");
  ASSERT_TRUE(shell.has_value());
  SpawnOptions options;
  options.workingFolder = dir / "work";
  std::string error;
  ASSERT_TRUE(spawnDetached({*shell, "/c", "echo here> seen.txt"}, options, error)) << error;
  std::string seen;
  for (int i = 0; i < 1000 && seen.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    seen = readFile(dir / "work" / "seen.txt");
  }
  EXPECT_EQ(seen, "here\r\n");
  EXPECT_FALSE(spawnDetached({toUtf8(dir / "none.exe")}, options, error));
  EXPECT_EQ(error.rfind("Couldn't start " + toUtf8(dir / "none.exe") + ": ", 0), 0u) << error;
}

TEST(WindowsNames, TheGameAndTheUninstallerHaveTheirWindowsNames) {
  EXPECT_STREQ(gameExecutableName, "Vantor.exe");
  EXPECT_STREQ(uninstallerName, "unins000.exe");
  EXPECT_EQ(executablePath().extension(), ".exe");
  EXPECT_TRUE(executablePath().is_absolute());
}

TEST(WindowsFolders, TestsGetTheirOwnAndTheSystemsComeBack) {
  TempDir root;
  overrideUserFolders(root.path());
  EXPECT_EQ(localAppDataFolder(), root.path() / "home" / ".local" / "share");
  EXPECT_EQ(savedGamesFolder(), fs::path());
  EXPECT_EQ(tempFolder(), root.path() / "tmp");
  overrideUserFolders({});
  const fs::path local = localAppDataFolder();
  const fs::path temp = tempFolder();
  EXPECT_TRUE(local.is_absolute()) << local;
  EXPECT_TRUE(fs::is_directory(local)) << local;
  EXPECT_TRUE(temp.has_filename()) << "no trailing separator: " << temp;
  EXPECT_TRUE(savedGamesFolder().empty() || savedGamesFolder().is_absolute());
  // Put back what the test entry point set for the whole run.
  overrideUserFolders(fs::path(toWide(environmentVariable("TMP").value_or(""))).parent_path());
}

TEST(WindowsEnvironment, ValuesTravelAsUtf8) {
  const std::string value = "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac";
  setEnvironmentVariable("VANTOR_TEST_VALUE", value);
  EXPECT_EQ(environmentVariable("VANTOR_TEST_VALUE"), value);
  EXPECT_STREQ(std::getenv("VANTOR_TEST_VALUE") ? "set" : "unset", "set") << "the C runtime's copy";
  setEnvironmentVariable("VANTOR_TEST_VALUE", std::nullopt);
  EXPECT_EQ(environmentVariable("VANTOR_TEST_VALUE"), std::nullopt);
  EXPECT_EQ(std::getenv("VANTOR_TEST_VALUE"), nullptr);
}

TEST(WindowsFiles, AReplacingMoveReplacesAndAFailedOneSaysWhy) {
  TempDir dir;
  for (MoveMode mode : {MoveMode::Plain, MoveMode::WriteThrough}) {
    writeFile(dir / "new", "new");
    writeFile(dir / "old", "old");
    std::string error;
    ASSERT_TRUE(moveFileReplace(dir / "new", dir / "old", mode, error)) << error;
    EXPECT_EQ(readFile(dir / "old"), "new");
    EXPECT_FALSE(fs::exists(dir / "new"));
    EXPECT_FALSE(moveFileReplace(dir / "new", dir / "old", mode, error));
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(flushFileToDisk(dir / "old"));
  EXPECT_TRUE(flushFolderToDisk(dir.path()));
}

TEST(WindowsFiles, CopyReplacesAnExistingFile) {
  TempDir dir;
  writeFile(dir / "from", "fresh");
  writeFile(dir / "to", "stale and longer");
  std::string error;
  ASSERT_TRUE(copyFileData(dir / "from", dir / "to", error)) << error;
  EXPECT_EQ(readFile(dir / "to"), "fresh");
  EXPECT_FALSE(copyFileData(dir / "missing", dir / "to", error));
  EXPECT_FALSE(copyFileData(dir.path(), dir / "to", error)) << "a folder copied as a file";
}

TEST(WindowsFiles, IdentityIgnoresTheSpellingOfTheName) {
  TempDir dir;
  writeFile(dir / "Game.bin", "x");
  writeFile(dir / "other.bin", "y");
  FileIdentity a, b, c;
  ASSERT_TRUE(fileIdentity(dir / "Game.bin", a));
  ASSERT_TRUE(fileIdentity(dir / "GAME.BIN", b));
  ASSERT_TRUE(fileIdentity(dir / "other.bin", c));
  EXPECT_EQ(a, b);
  EXPECT_FALSE(a == c);
  EXPECT_FALSE(fileIdentity(dir / "missing", c));
}

TEST(WindowsFiles, StampShowsSizeTimesAndReplacement) {
  TempDir dir;
  const fs::path file = dir / "addon.json";
  writeFile(file, "{}");
  FileStamp first, again;
  ASSERT_TRUE(fileStamp(file, first));
  ASSERT_TRUE(fileStamp(file, again));
  EXPECT_EQ(first, again);
  EXPECT_EQ(first.size, 2u);

  // The write time set to 2001-01-01 00:00:00 UTC reads back in nanoseconds
  // since 1970.
  {
    win::Handle h(::CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(h.valid());
    const uint64_t ticks = 116444736000000000ull + 978307200ull * 10000000ull;
    FILETIME when{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    ASSERT_TRUE(::SetFileTime(h.get(), nullptr, nullptr, &when));
  }
  FileStamp dated;
  ASSERT_TRUE(fileStamp(file, dated));
  EXPECT_EQ(dated.modifiedNs, int64_t{978307200} * 1000000000);
  EXPECT_EQ(dated.index, first.index);

  writeFile(dir / "addon.json.tmp", "{\"a\": 1}");
  std::string error;
  ASSERT_TRUE(moveFileReplace(dir / "addon.json.tmp", file, MoveMode::WriteThrough, error)) << error;
  FileStamp replaced;
  ASSERT_TRUE(fileStamp(file, replaced));
  EXPECT_NE(replaced.index, first.index);
  EXPECT_EQ(replaced.size, 8u);

  FileStamp folder;
  EXPECT_TRUE(fileStamp(dir.path(), folder));
  EXPECT_FALSE(fileStamp(dir / "missing", folder));
}

TEST(WindowsFolders, PrivateFolderIsMadeOrAcceptedButNeverAFileInItsPlace) {
  TempDir dir;
  std::string error;
  EXPECT_TRUE(ensurePrivateFolder(dir / "data", "data folder", error)) << error;
  EXPECT_TRUE(fs::is_directory(dir / "data"));
  EXPECT_TRUE(ensurePrivateFolder(dir / "data", "data folder", error)) << error;  // already there
  std::string owner;
  EXPECT_TRUE(win::ownedByThisUser(dir / "data", owner)) << owner;

  writeFile(dir / "taken", "x");
  EXPECT_FALSE(ensurePrivateFolder(dir / "taken", "data folder", error));
  EXPECT_NE(error.find("The data folder "), std::string::npos) << error;
  EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
  EXPECT_FALSE(ensurePrivateFolder(dir / "missing" / "deeper", error));
  EXPECT_NE(error.find("Can't create the runtime folder"), std::string::npos) << error;
}

TEST(WindowsFiles, PrepareSetsTheSizeAndKeepsWhatIsThere) {
  TempDir dir;
  writeFile(dir / "staged", "keep");
  std::string error;
  ASSERT_EQ(prepareFile(dir / "staged", 1 << 20, error), PrepareResult::Ready) << error;
  EXPECT_EQ(fs::file_size(dir / "staged"), 1u << 20);
  EXPECT_EQ(readFile(dir / "staged").substr(0, 4), "keep");
  uint64_t free = 0;
  EXPECT_TRUE(freeDiskSpace(dir.path(), free));
  EXPECT_GT(free, 0u);
}

TEST(WindowsLocks, TheGameMutexShowsTheGameRunning) {
  EXPECT_FALSE(isGameRunning());
  GameLock game;
  std::string error;
  ASSERT_TRUE(game.acquire(error)) << error;
  EXPECT_TRUE(isGameRunning());
  GameLock second;
  EXPECT_FALSE(second.acquire(error));
  game.release();
  EXPECT_FALSE(isGameRunning());
}

TEST(WindowsLocks, AFileLockRefusesEveryOtherHolderAndRemovesItsFile) {
  TempDir dir;
  FileLock first, second;
  std::string error;
  ASSERT_EQ(first.tryAcquire(dir / "staging" / "sync.lock", error), FileLock::Result::Acquired) << error;
  EXPECT_EQ(second.tryAcquire(dir / "staging" / "sync.lock", error), FileLock::Result::HeldElsewhere);
  first.removeAndRelease();
  EXPECT_FALSE(fs::exists(dir / "staging" / "sync.lock"));
  EXPECT_EQ(second.tryAcquire(dir / "staging" / "sync.lock", error), FileLock::Result::Acquired) << error;
}

}  // namespace
}  // namespace launcher

namespace launcher {
namespace {

constexpr const wchar_t* uninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vantor_is1";

bool readEstimatedSize(DWORD& value) {
  DWORD size = sizeof value;
  return ::RegGetValueW(HKEY_CURRENT_USER, uninstallKey, L"EstimatedSize", RRF_RT_REG_DWORD, nullptr, &value,
                        &size) == ERROR_SUCCESS;
}

bool keyExists() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, uninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

// The uninstall entry of this user's registry (the test's wine prefix); left
// as it was found.
class ScopedUninstallEntry {
 public:
  ScopedUninstallEntry() : existed_(keyExists()) { hadValue_ = existed_ && readEstimatedSize(value_); }
  ~ScopedUninstallEntry() {
    if (!existed_) {
      ::RegDeleteKeyW(HKEY_CURRENT_USER, uninstallKey);
    } else if (hadValue_) {
      HKEY key = nullptr;
      if (::RegOpenKeyExW(HKEY_CURRENT_USER, uninstallKey, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        ::RegSetValueExW(key, L"EstimatedSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value_), sizeof value_);
        ::RegCloseKey(key);
      }
    }
  }
  ScopedUninstallEntry(const ScopedUninstallEntry&) = delete;
  ScopedUninstallEntry& operator=(const ScopedUninstallEntry&) = delete;
  [[nodiscard]] bool existed() const { return existed_; }

 private:
  bool existed_ = false;
  bool hadValue_ = false;
  DWORD value_ = 0;
};

TEST(WindowsInstallSize, TheInstallersEntryGetsTheSizeAndNoEntryIsEverMade) {
  ScopedUninstallEntry entry;
  if (entry.existed()) GTEST_SKIP() << "this user has the launcher installed; its entry is left alone";
  TempDir dir;
  writeFile(dir / "launcher" / "vantor-launcher.exe", std::string(10 * 1024, 'x'));
  writeFile(dir / "launcher" / "game" / "Vantor.exe", std::string(5 * 1024 + 1023, 'y'));
  EXPECT_FALSE(setUninstallEntrySize(1));
  updateEstimatedSize(dir / "launcher");
  EXPECT_FALSE(keyExists()) << "the launcher made the installer's entry";

  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, uninstallKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ::RegCloseKey(key);
  updateEstimatedSize(dir / "launcher");
  DWORD value = 0;
  ASSERT_TRUE(readEstimatedSize(value));
  EXPECT_EQ(value, 15u);
}

}  // namespace
}  // namespace launcher

namespace launcher {
namespace {

TEST(WindowsFolders, DataFoldersLiveUnderLocalAppDataAndComeBackAfterDeletion) {
  TempDir root;
  overrideUserFolders(root.path());
  const fs::path data = root.path() / "home" / ".local" / "share" / "Vantor";
  EXPECT_EQ(dataFolder(), data);
  EXPECT_TRUE(fs::is_directory(data));
  EXPECT_EQ(settingsPath(), data / "settings.json");
  fs::remove_all(data);
  EXPECT_EQ(logsFolder(), data / "logs");
  EXPECT_TRUE(fs::is_directory(data / "logs"));
  // No saved-games folder: saves go to the data folder.
  EXPECT_EQ(savesFolder(), data / "saves");
  EXPECT_TRUE(fs::is_directory(data / "saves"));
  overrideUserFolders(fs::path(toWide(environmentVariable("TMP").value_or(""))).parent_path());
}

}  // namespace
}  // namespace launcher
