// The self-update's download, checksum and two renames on a real folder.
#include "update/self_update.h"

#include "testing/log_capture.h"
#include "testing/linux_only.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

class SelfUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(exe, "old build");
    fs::permissions(exe, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    writeFile(dir / "feed" / "builds" / "launcher-9", "new build");
    feed.ok = true;
    feed.url = (dir / "feed" / "stable" / "latest.json").string();
    feed.launcherVersion = "9.9.9";
    feed.launcherUrl = "../builds/launcher-9";
    feed.launcherSha256 = sha256Hex("new build");
    feed.launcherSize = 9;
  }
  bool run(std::string& error) {
    std::atomic<bool> cancel{false};
    return updateLauncher(feed, exe, cancel, [&](const Progress& p) { seen.push_back(p); }, error);
  }

  TempDir dir;
  fs::path exe = dir / "app" / "vantor-launcher";
  Feed feed;
  std::vector<Progress> seen;
};

TEST_F(SelfUpdate, SwapsTheBuildsKeepingTheModeAndTheOldImageAside) {
  testing::LogCapture log;
  writeFile(siblingPath(exe, ".old"), "stale leftover");
  std::string error;
  ASSERT_TRUE(run(error)) << error;
  EXPECT_EQ(readFile(exe), "new build");
  EXPECT_EQ(readFile(siblingPath(exe, ".old")), "old build");
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
  // Windows has no mode bits to keep.
  if (testing::onLinux()) {
    EXPECT_EQ(fs::status(exe).permissions(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  }
  EXPECT_EQ(log.messages("info"), std::vector<std::string>{"Launcher updated to 9.9.9"});
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().phase, "Updating the launcher");
  EXPECT_EQ(seen.back().bytesDone, 9u);
  EXPECT_EQ(seen.back().filesTotal, 1);
}

TEST_F(SelfUpdate, NoUsableBuildDownloadsNothing) {
  for (const std::string& digest : {std::string(), sha256Hex("new build").substr(1), std::string(64, 'A')}) {
    feed.launcherSha256 = digest;
    std::string error;
    EXPECT_FALSE(run(error));
    EXPECT_EQ(error, "No launcher build on the update server");
  }
  feed.launcherSha256 = sha256Hex("new build");
  feed.launcherUrl.clear();
  std::string error;
  EXPECT_FALSE(run(error));
  EXPECT_EQ(error, "No launcher build on the update server");
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
  EXPECT_EQ(readFile(exe), "old build");
}

TEST_F(SelfUpdate, WrongChecksumRemovesTheDownloadAndKeepsTheExecutable) {
  feed.launcherSha256 = sha256Hex("another build");
  std::string error;
  EXPECT_FALSE(run(error));
  EXPECT_EQ(error, "The downloaded launcher failed its checksum");
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
  EXPECT_EQ(readFile(exe), "old build");
}

TEST_F(SelfUpdate, ServerCannotHandOutALocalFile) {
  testing::TestHttpServer server;
  feed.url = server.url("/stable/latest.json");
  feed.launcherUrl = "file://" + (dir / "feed" / "builds" / "launcher-9").string();
  std::string error;
  EXPECT_FALSE(run(error));
  EXPECT_EQ(error, "Bad address: " + feed.launcherUrl);
  EXPECT_EQ(readFile(exe), "old build");
}

TEST_F(SelfUpdate, CancelStopsTheDownload) {
  std::atomic<bool> cancel{true};
  std::string error;
  EXPECT_FALSE(updateLauncher(feed, exe, cancel, {}, error));
  EXPECT_EQ(error, "Cancelled");
  EXPECT_EQ(readFile(exe), "old build");
}

TEST_F(SelfUpdate, AFolderInTheWayOfTheOldNameKeepsTheRunningExecutable) {
  fs::create_directories(siblingPath(exe, ".old") / "occupied");
  std::string error;
  EXPECT_FALSE(run(error));
  EXPECT_EQ(error, "Couldn't move the old launcher aside");
  EXPECT_EQ(readFile(exe), "old build");
}

}  // namespace
}  // namespace launcher
