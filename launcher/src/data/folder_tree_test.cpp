#include "data/folder_tree.h"

#include "testing/game_process.h"
#include "testing/linux_only.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <system_error>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

class FolderTreeTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  fs::path source_ = dir_ / "saves";
  fs::path outside_ = dir_ / "outside";
};

TEST_F(FolderTreeTest, CopyKeepsLinksAsLinksAndNeverFollowsThem) {
  VANTOR_LINUX_ONLY("symbolic links a test makes (wine's CreateSymbolicLinkW makes none)");
  writeFile(source_ / "slot1.sav", "one");
  writeFile(source_ / "profiles" / "pilot.json", "{}");
  writeFile(outside_ / "huge.bin", std::string(1000, 'x'));
  fs::create_symlink(outside_ / "huge.bin", source_ / "file-link");
  fs::create_directory_symlink(outside_, source_ / "folder-link");
  fs::create_symlink("relative/target", source_ / "dangling");

  std::string error;
  const fs::path copy = dir_ / "backups" / "2026-01-01_000000";
  ASSERT_TRUE(copyFolder(source_, copy, error)) << error;
  EXPECT_EQ(readFile(copy / "slot1.sav"), "one");
  EXPECT_EQ(readFile(copy / "profiles" / "pilot.json"), "{}");
  for (const char* link : {"file-link", "folder-link", "dangling"}) {
    EXPECT_TRUE(fs::is_symlink(copy / link)) << link;
    EXPECT_EQ(fs::read_symlink(copy / link), fs::read_symlink(source_ / link)) << link;
  }
  // Links are not files of the saves: only the two real files count.
  FileCount count = countFiles(copy);
  EXPECT_EQ(count.files, 2);
  EXPECT_EQ(count.bytes, 5u);
}

TEST_F(FolderTreeTest, CopyNeverWritesThroughALinkAtTheDestination) {
  VANTOR_LINUX_ONLY("symbolic links a test makes (wine's CreateSymbolicLinkW makes none)");
  writeFile(source_ / "slot1.sav", "new");
  writeFile(source_ / "dir" / "inner.sav", "inner");
  writeFile(outside_ / "victim.txt", "keep me");
  writeFile(outside_ / "victims" / "a.txt", "keep me too");
  const fs::path copy = dir_ / "copy";
  fs::create_directories(copy);
  fs::create_symlink(outside_ / "victim.txt", copy / "slot1.sav");
  fs::create_directory_symlink(outside_ / "victims", copy / "dir");

  std::string error;
  ASSERT_TRUE(copyFolder(source_, copy, error)) << error;
  EXPECT_EQ(readFile(outside_ / "victim.txt"), "keep me");
  EXPECT_FALSE(fs::exists(outside_ / "victims" / "inner.sav"));
  EXPECT_EQ(readFile(outside_ / "victims" / "a.txt"), "keep me too");
  EXPECT_FALSE(fs::is_symlink(copy / "slot1.sav"));
  EXPECT_EQ(readFile(copy / "slot1.sav"), "new");
  EXPECT_EQ(readFile(copy / "dir" / "inner.sav"), "inner");
}

TEST_F(FolderTreeTest, CopyOverwritesAndReplacesAFolderWithAFile) {
  writeFile(source_ / "a", "fresh");
  const fs::path copy = dir_ / "copy";
  writeFile(copy / "a" / "old.txt", "stale");
  std::string error;
  ASSERT_TRUE(copyFolder(source_, copy, error)) << error;
  EXPECT_EQ(readFile(copy / "a"), "fresh");
}

TEST_F(FolderTreeTest, CopyOfAMissingFolderFailsWithTheSystemsText) {
  std::string error;
  EXPECT_FALSE(copyFolder(dir_ / "missing", dir_ / "copy", error));
  EXPECT_EQ(error, std::make_error_code(std::errc::no_such_file_or_directory).message());
}

TEST_F(FolderTreeTest, RemoveTreeDeletesLinksNotWhatTheyPointTo) {
  VANTOR_LINUX_ONLY("symbolic links a test makes (wine's CreateSymbolicLinkW makes none)");
  writeFile(outside_ / "precious.sav", "data");
  writeFile(source_ / "own.txt", "x");
  fs::create_directory_symlink(outside_, source_ / "link-to-outside");
  std::string error;
  ASSERT_TRUE(removeTree(source_, error)) << error;
  EXPECT_FALSE(fs::exists(source_));
  EXPECT_EQ(readFile(outside_ / "precious.sav"), "data");
  EXPECT_TRUE(removeTree(dir_ / "never-existed", error));
}

TEST_F(FolderTreeTest, RemovalStopsAtAnImmutableFile) {
  writeFile(source_ / "a" / "locked.bin", "x");
  writeFile(source_ / "b.txt", "y");
  testing::ScopedImmutable locked(source_ / "a" / "locked.bin");
  if (!locked.ok()) GTEST_SKIP() << locked.skipReason();
  std::string error;
  EXPECT_FALSE(removeFolderContents(source_, error));
  EXPECT_EQ(error, std::make_error_code(std::errc::operation_not_permitted).message());
  EXPECT_TRUE(fs::exists(source_ / "a" / "locked.bin"));
}

TEST_F(FolderTreeTest, CountOfAMissingFolderIsZero) {
  FileCount count = countFiles(dir_ / "missing");
  EXPECT_EQ(count.files, 0);
  EXPECT_EQ(count.bytes, 0u);
}

}  // namespace
}  // namespace launcher
