#include "app/player_copy.h"

#include "data/paths.h"
#include "testing/linux_only.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

class PlayerCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(bin() / "vantor-launcher", "build of the package");
    fs::permissions(bin() / "vantor-launcher", fs::perms(0755));
    writeFile(share() / "update.json", "{\"feed\": \"https://feed.example\"}\n");
    writeFile(share() / "install.json", "{\"ref\": \"deb\"}\n");
  }
  fs::path bin() const { return root.path() / "usr/bin"; }
  fs::path share() const { return root.path() / "usr/share/vantor-launcher"; }

  testing::ScopedHome home;
  testing::TempDir root;
};

TEST_F(PlayerCopyTest, OnlyAFolderWithThePackagesRecordsBesideItIsPackaged) {
  fs::path found;
  ASSERT_TRUE(findPackageShare(bin(), found));
  EXPECT_EQ(found, share());
  EXPECT_FALSE(findPackageShare(root.path(), found));
  EXPECT_FALSE(findPackageShare({}, found));
  fs::remove(share() / "update.json");
  fs::create_directories(share() / "update.json");  // a folder by that name is no record
  EXPECT_FALSE(findPackageShare(bin(), found));
}

TEST_F(PlayerCopyTest, TheFirstStartMakesAnInstalledCopyAndLaterStartsKeepIt) {
  std::string error;
  ASSERT_EQ(preparePlayerCopy(bin() / "vantor-launcher", share(), error), CopyState::Created) << error;
  EXPECT_EQ(playerCopyFolder(), dataFolder() / "launcher");
  EXPECT_EQ(readFile(playerCopyExecutable()), "build of the package");
  // Windows runs a file by its name and has no execute bit to check.
  if (testing::onLinux()) {
    EXPECT_NE(fs::status(playerCopyExecutable()).permissions() & fs::perms::owner_exec, fs::perms::none);
  }
  EXPECT_EQ(readFile(playerCopyFolder() / "update.json"), "{\"feed\": \"https://feed.example\"}\n");
  EXPECT_EQ(readFile(playerCopyFolder() / "install.json"), "{\"ref\": \"deb\"}\n");
  EXPECT_FALSE(fs::exists(playerCopyFolder() / "vantor-launcher.tmp"));
  const InstallPaths paths = probeInstallPaths(playerCopyFolder());
  EXPECT_TRUE(paths.installed);
  EXPECT_FALSE(paths.devBuild);
  EXPECT_EQ(paths.gameFolder, playerCopyFolder() / "game");

  // The copy updated itself and records its feed: a second start leaves it.
  writeFile(playerCopyExecutable(), "build it updated to");
  writeFile(playerCopyFolder() / "update.json", "{\"feed\": \"https://other.example\"}\n");
  recordCopyVersion(playerCopyFolder());
  EXPECT_EQ(preparePlayerCopy(bin() / "vantor-launcher", share(), error), CopyState::Current);
  EXPECT_EQ(readFile(playerCopyExecutable()), "build it updated to");
  EXPECT_EQ(readFile(playerCopyFolder() / "update.json"), "{\"feed\": \"https://other.example\"}\n");
}

TEST_F(PlayerCopyTest, ANewerPackageReplacesAnOlderCopyButNeverANewerOne) {
  std::string error;
  ASSERT_EQ(preparePlayerCopy(bin() / "vantor-launcher", share(), error), CopyState::Created) << error;
  writeFile(playerCopyExecutable(), "older build");
  writeFile(playerCopyFolder() / "version.json", "{\"version\": \"0.9.2\"}");
  EXPECT_EQ(preparePlayerCopy(bin() / "vantor-launcher", share(), error), CopyState::Refreshed) << error;
  EXPECT_EQ(readFile(playerCopyExecutable()), "build of the package");

  writeFile(playerCopyExecutable(), "newer build");
  writeFile(playerCopyFolder() / "version.json", "{\"version\": \"1.4.0\"}");
  EXPECT_EQ(preparePlayerCopy(bin() / "vantor-launcher", share(), error), CopyState::Current);
  EXPECT_EQ(readFile(playerCopyExecutable()), "newer build");
}

TEST_F(PlayerCopyTest, AFailedCopyLeavesNoHalfMadeExecutable) {
  std::string error;
  EXPECT_EQ(preparePlayerCopy(bin() / "missing-launcher", share(), error), CopyState::Failed);
  EXPECT_NE(error.find("missing-launcher"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(playerCopyExecutable()));
  EXPECT_FALSE(fs::exists(playerCopyFolder() / "vantor-launcher.tmp"));
}

}  // namespace
}  // namespace launcher
