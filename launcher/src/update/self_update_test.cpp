// The self-update's download, checksum and swap on a real folder.
#include "update/self_update.h"

#include "platform/platform.h"
#include "testing/folder_events.h"
#include "testing/log_capture.h"
#include "testing/linux_only.h"
#include "testing/scoped_vfat.h"
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
  void SetUp() override { setUp(); }
  void setUp() {
    seen.clear();
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
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
}

// The executable's name is replaced in one rename: it never moves away, is
// never deleted and is never written in place, so at every moment it names
// one whole build; the new one was written completely before the rename.
TEST_F(SelfUpdate, TheExecutablesPathNeverNamesAMissingOrPartBuild) {
  VANTOR_LINUX_ONLY("the kernel's events of a folder's names (inotify)");
  testing::FolderEvents events(exe.parent_path());
  ASSERT_TRUE(events.watching());
  const FileIdentity before = [&] {
    FileIdentity id;
    EXPECT_TRUE(fileIdentity(exe, id));
    return id;
  }();
  std::string error;
  ASSERT_TRUE(run(error)) << error;
  const std::string name = exe.filename().string();
  const std::string fresh = name + ".new";
  bool freshWritten = false;
  std::vector<std::string> seen;
  for (const testing::FolderEvent& e : events.take()) {
    seen.push_back(std::to_string(e.kind) + " " + e.name);
    EXPECT_FALSE(e.name == name && (e.kind == testing::FolderEvent::MovedAway ||
                                    e.kind == testing::FolderEvent::Deleted ||
                                    e.kind == testing::FolderEvent::Created || e.kind == testing::FolderEvent::Written))
        << "the executable's path was left without a whole build";
    if (e.name == fresh && e.kind == testing::FolderEvent::Written) freshWritten = true;
    if (e.name == name && e.kind == testing::FolderEvent::MovedIn) {
      EXPECT_TRUE(freshWritten) << "renamed before its bytes were all written";
    }
  }
  EXPECT_TRUE(std::count_if(seen.begin(), seen.end(), [&](const std::string& s) { return s == "1 " + name; }) == 1)
      << ::testing::PrintToString(seen);
  // The running build is still there, under its second name, the same file.
  FileIdentity kept;
  ASSERT_TRUE(fileIdentity(siblingPath(exe, ".old"), kept));
  EXPECT_EQ(kept, before);
  EXPECT_EQ(readFile(exe), "new build");
}

TEST_F(SelfUpdate, ABuildLongerThanItsSizeFailsAsSoonAsItIsLongerAndLeavesNoNew) {
  testing::TestHttpServer server;
  testing::TestResponse endless;
  endless.generatedSize = 1ull << 30;  // a server that never stops sending
  server.serve("/builds/launcher-9", endless);
  feed.url = server.url("/stable/latest.json");
  feed.launcherUrl = "../builds/launcher-9";
  feed.launcherSha256 = sha256Hex(testing::generatedBody(9));
  feed.launcherSize = 9;
  std::string error;
  EXPECT_FALSE(run(error));
  EXPECT_EQ(error, "The downloaded launcher is larger than the update server says");
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
  EXPECT_EQ(readFile(exe), "old build");
  for (const Progress& p : seen) EXPECT_LE(p.bytesDone, 9u) << "read past the pinned size";

  // The same from a local feed: one byte more than the size is one too many.
  setUp();
  writeFile(dir / "feed" / "builds" / "launcher-9", "new build!");
  feed.launcherSize = 9;
  EXPECT_FALSE(run(error));
  EXPECT_EQ(error, "The downloaded launcher is larger than the update server says");
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
}

TEST_F(SelfUpdate, AShortOrFailedDownloadLeavesNoNew) {
  writeFile(siblingPath(exe, ".new"), "left by an interrupted run");
  // The feed names 20 bytes; the server has the first 9 of them.
  feed.launcherSha256 = sha256Hex("new build, all of it");
  feed.launcherSize = 20;
  std::string error;
  EXPECT_FALSE(run(error));
  EXPECT_EQ(error, "The downloaded launcher failed its checksum");
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
  feed.launcherUrl = "../builds/missing";
  EXPECT_FALSE(run(error));
  EXPECT_EQ(error.rfind("Can't open ", 0), 0u) << error;
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
  EXPECT_EQ(readFile(exe), "old build");
}

TEST_F(SelfUpdate, AVerifiedFeedMustPinTheBuildsSize) {
  feed.verified = true;
  feed.launcherSize = 0;
  std::string error;
  EXPECT_FALSE(run(error));
  EXPECT_EQ(error, "No launcher build on the update server");
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
  feed.launcherSize = 9;
  EXPECT_TRUE(run(error)) << error;
}

// Where the file system has no hard links (FAT), the old build is kept by a
// copy flushed to disk first.
TEST_F(SelfUpdate, WithoutHardLinksTheOldBuildIsKeptByACopy) {
  testing::ScopedVfat vfat(dir / "vfat", 16 * 1024 * 1024);
  if (!vfat.mounted()) GTEST_SKIP() << vfat.skipReason();
  exe = vfat.path() / "launcher";
  writeFile(exe, "old build");
  std::string error;
  ASSERT_TRUE(run(error)) << error;
  EXPECT_EQ(readFile(exe), "new build");
  EXPECT_EQ(readFile(siblingPath(exe, ".old")), "old build");
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
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
