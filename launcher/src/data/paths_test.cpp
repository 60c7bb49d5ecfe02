#include "data/paths.h"

#include "platform/platform.h"
#include "testing/scoped_env.h"
#include "testing/linux_only.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <optional>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;
using testing::writeFile;

struct ProbeCase {
  const char* name;
  bool gameBeside;   // the game's executable beside the launcher
  bool gameFolder;   // a "game" folder beside the launcher
  bool updateJson;
  bool installJson;
  bool devBuild;
  bool installed;
  const char* mode;
};

TEST(InstallPaths, ProbeDecidesModeAndGameFolder) {
  const std::vector<ProbeCase> cases = {
      {"game beside, no game folder", true, false, false, false, true, false, "dev"},
      {"game beside and a game folder", true, true, false, false, false, false, "portable"},
      {"neither", false, false, false, false, false, false, "portable"},
      {"update.json only", false, false, true, false, false, true, "installed"},
      {"install.json only", false, false, false, true, false, true, "installed"},
      {"both configuration files", false, true, true, true, false, true, "installed"},
      {"dev with install.json", true, false, false, true, true, true, "dev"},
  };
  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path launcherFolder = dir.path();
    if (c.gameBeside) writeFile(launcherFolder / gameExecutableName, "binary");
    if (c.gameFolder) fs::create_directory(launcherFolder / "game");
    // Only existence counts: an empty configuration file still selects "installed".
    if (c.updateJson) writeFile(launcherFolder / "update.json", "");
    if (c.installJson) writeFile(launcherFolder / "install.json", "not json");

    InstallPaths paths = probeInstallPaths(launcherFolder);
    EXPECT_EQ(paths.launcherFolder, launcherFolder);
    EXPECT_EQ(paths.devBuild, c.devBuild);
    EXPECT_EQ(paths.installed, c.installed);
    EXPECT_EQ(installMode(paths), c.mode);
    const fs::path expectedGame = c.devBuild ? launcherFolder : launcherFolder / "game";
    EXPECT_EQ(paths.gameFolder, expectedGame);
    EXPECT_EQ(paths.gameExecutable, expectedGame / gameExecutableName);
    EXPECT_EQ(fs::exists(launcherFolder / "game"), c.gameFolder) << "the probe never creates the game folder";
  }
}

TEST(InstallPaths, FindUsesTheRunningExecutablesFolder) {
  InstallPaths paths = findInstallPaths();
  EXPECT_FALSE(paths.launcherFolder.empty());
  EXPECT_EQ(paths.launcherFolder, executablePath().parent_path());
}

struct InstallInfoCase {
  const char* name;
  std::optional<std::string> content;  // nullopt: no file
  std::string expected;
};

TEST(InstallInfo, ReadsOnlyAStringRefFromAnObject) {
  const std::vector<InstallInfoCase> cases = {
      {"ref abc", R"({"ref":"abc","other":1})", "abc"},
      {"ref with byte order mark", "\xEF\xBB\xBF{\"ref\":\"x\"}", "x"},
      {"array", R"(["abc"])", ""},
      {"no ref", R"({"reference":"abc"})", ""},
      {"ref a number", R"({"ref":5})", ""},
      {"ref null", R"({"ref":null})", ""},
      {"damaged", R"({"ref":"abc")", ""},
      {"empty", "", ""},
      {"missing", std::nullopt, ""},
  };
  for (const InstallInfoCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.content) writeFile(dir / "install.json", *c.content);
    EXPECT_EQ(readInstallInfo(dir.path()), c.expected);
    EXPECT_FALSE(fs::exists(dir / "install.json.bad"));
  }
}

TEST(DataFolders, LiveUnderXdgDataHomeAndComeBackAfterDeletion) {
  VANTOR_LINUX_ONLY("the XDG and HOME variables (Windows: WindowsFolders tests)");
  TempDir dir;
  ScopedEnv xdg("XDG_DATA_HOME", dir.path().string());
  const fs::path data = dir / "Vantor";
  EXPECT_EQ(dataFolder(), data);
  EXPECT_TRUE(fs::is_directory(data));
  EXPECT_EQ(settingsPath(), data / "settings.json");
  EXPECT_FALSE(fs::exists(data / "settings.json")) << "settingsPath never creates the file";

  fs::remove_all(data);
  EXPECT_EQ(logsFolder(), data / "logs");
  EXPECT_TRUE(fs::is_directory(data / "logs"));
  fs::remove_all(data);
  EXPECT_EQ(backupsFolder(), data / "backups");
  EXPECT_EQ(addonsFolder(), data / "addons");
  EXPECT_TRUE(fs::is_directory(data / "backups"));
  EXPECT_TRUE(fs::is_directory(data / "addons"));
}

TEST(DataFolders, SavesFallBackToDataSavesWithoutASavedGamesFolder) {
  VANTOR_LINUX_ONLY("the XDG and HOME variables (Windows: WindowsFolders tests)");
  TempDir dir;
  ScopedEnv xdg("XDG_DATA_HOME", dir.path().string());
  ASSERT_TRUE(savedGamesFolder().empty());
  EXPECT_EQ(savesFolder(), dir / "Vantor" / "saves");
  EXPECT_TRUE(fs::is_directory(dir / "Vantor" / "saves"));
}

TEST(DataFolders, FallBackToHomeThenToTheTemporaryFolder) {
  VANTOR_LINUX_ONLY("the XDG and HOME variables (Windows: WindowsFolders tests)");
  TempDir home;
  TempDir tmp;
  ScopedEnv tmpdir("TMPDIR", tmp.path().string());
  {
    // A relative XDG_DATA_HOME is invalid and ignored.
    ScopedEnv xdg("XDG_DATA_HOME", std::string("relative/share"));
    ScopedEnv homeVar("HOME", home.path().string());
    EXPECT_EQ(dataFolder(), home / ".local" / "share" / "Vantor");
  }
  ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  ScopedEnv homeVar("HOME", std::nullopt);
  EXPECT_EQ(dataFolder(), tmp / "Vantor");
  EXPECT_TRUE(fs::is_directory(tmp / "Vantor"));
}

TEST(DataFolders, FolderBlockedByAFileIsStillReturned) {
  VANTOR_LINUX_ONLY("the XDG and HOME variables (Windows: WindowsFolders tests)");
  TempDir dir;
  ScopedEnv xdg("XDG_DATA_HOME", dir.path().string());
  writeFile(dir / "Vantor" / "logs", "a file where the folder should be");
  EXPECT_EQ(logsFolder(), dir / "Vantor" / "logs");
  EXPECT_TRUE(fs::is_regular_file(dir / "Vantor" / "logs"));
}

}  // namespace
}  // namespace launcher
