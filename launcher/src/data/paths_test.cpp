#include "data/paths.h"

#include "platform/platform.h"
#include "testing/linux_only.h"
#include "testing/odd_files.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
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

// Without XDG_DATA_HOME and HOME the data folder lies in the temporary
// folder, where another local user may have made the name first.
TEST(DataFolders, TheTemporaryFallbackIsUsedOnlyWhenPrivate) {
  VANTOR_LINUX_ONLY("the XDG and HOME variables (Windows: WindowsFolders tests)");
  struct Case {
    const char* name;
    std::function<void(const fs::path& folder)> prepare;
    const char* refusal;  // part of the reason; null when accepted
  };
  const std::vector<Case> cases = {
      {"missing: made private", [](const fs::path&) {}, nullptr},
      {"ours, 0700", [](const fs::path& f) { fs::create_directory(f); fs::permissions(f, fs::perms::owner_all); },
       nullptr},
      {"a link to a folder",
       [](const fs::path& f) {
         fs::create_directory(f.parent_path() / "elsewhere");
         fs::create_directory_symlink(f.parent_path() / "elsewhere", f);
       },
       "is not a folder"},
      {"a file", [](const fs::path& f) { writeFile(f, "x"); }, "is not a folder"},
      {"open to everyone",
       [](const fs::path& f) {
         fs::create_directory(f);
         fs::permissions(f, fs::perms::all);
       },
       "has mode 0777"},
      {"another user's",
       [](const fs::path& f) {
         fs::create_directory(f);
         fs::permissions(f, fs::perms::owner_all);
         ASSERT_TRUE(testing::giveToNobody(f));
       },
       "belongs to another user"},
  };
  ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  ScopedEnv homeVar("HOME", std::nullopt);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "another user's" && !testing::runningAsRoot()) continue;  // chown needs root
    TempDir tmp;
    ScopedEnv tmpdir("TMPDIR", tmp.path().string());
    c.prepare(tmp / "Vantor");
    std::string error;
    const bool ok = checkDataFolder(error);
    if (c.refusal == nullptr) {
      EXPECT_TRUE(ok) << error;
      EXPECT_EQ(fs::status(tmp / "Vantor").permissions(), fs::perms::owner_all);
      EXPECT_EQ(dataFolder(), tmp / "Vantor");
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find("data folder"), std::string::npos) << error;
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    }
  }
  // Under HOME nothing is asked of the temporary folder.
  TempDir home;
  ScopedEnv homeSet("HOME", home.path().string());
  std::string error;
  EXPECT_TRUE(checkDataFolder(error)) << error;
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
