#include "platform/executable_swap.h"

#include "platform/platform.h"
#include "testing/scoped_tmpfs.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

TEST(ExecutableSwap, TheRunningBuildKeepsASecondNameAndTheNewOneTakesThePath) {
  TempDir dir;
  writeFile(dir / "launcher", "old");
  writeFile(dir / "launcher.new", "new");
  writeFile(dir / "launcher.old", "a leftover");
  FileIdentity before;
  ASSERT_TRUE(fileIdentity(dir / "launcher", before));
  bool durable = false;
  std::string error;
  ASSERT_EQ(swapInExecutable(dir / "launcher.new", dir / "launcher", dir / "launcher.old", durable, error),
            SwapResult::Swapped)
      << error;
  EXPECT_TRUE(durable);
  EXPECT_EQ(readFile(dir / "launcher"), "new");
  EXPECT_FALSE(fs::exists(dir / "launcher.new"));
  FileIdentity kept;
  ASSERT_TRUE(fileIdentity(dir / "launcher.old", kept));
  EXPECT_EQ(kept, before) << "kept by a hard link, not a copy";
}

// Where no hard link can be made (here: another file system) the old build
// is copied instead, and the swap still happens.
TEST(ExecutableSwap, WithoutAHardLinkTheOldBuildIsCopied) {
  TempDir dir;
  testing::ScopedTmpfs other(dir / "other", 4 * 1024 * 1024);
  if (!other.mounted()) GTEST_SKIP() << other.skipReason();
  writeFile(dir / "launcher", "old build");
  fs::permissions(dir / "launcher", fs::perms::owner_all);
  writeFile(dir / "launcher.new", "new build");
  bool durable = false;
  std::string error;
  ASSERT_EQ(swapInExecutable(dir / "launcher.new", dir / "launcher", other.path() / "launcher.old", durable, error),
            SwapResult::Swapped)
      << error;
  EXPECT_EQ(readFile(dir / "launcher"), "new build");
  EXPECT_EQ(readFile(other.path() / "launcher.old"), "old build");
  EXPECT_EQ(fs::status(other.path() / "launcher.old").permissions(), fs::perms::owner_all);
}

TEST(ExecutableSwap, FailuresLeaveTheExecutableAsItWas) {
  TempDir dir;
  writeFile(dir / "launcher", "old");
  writeFile(dir / "launcher.new", "new");
  // A folder where the second name goes: the old build cannot be kept.
  fs::create_directories(dir / "launcher.old" / "x");
  bool durable = false;
  std::string error;
  EXPECT_EQ(swapInExecutable(dir / "launcher.new", dir / "launcher", dir / "launcher.old", durable, error),
            SwapResult::OldNotKept);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(readFile(dir / "launcher"), "old");
  EXPECT_EQ(readFile(dir / "launcher.new"), "new");
  // The new build is gone before the rename: nothing replaces the executable.
  fs::remove_all(dir / "launcher.old");
  fs::remove(dir / "launcher.new");
  EXPECT_EQ(swapInExecutable(dir / "launcher.new", dir / "launcher", dir / "launcher.old", durable, error),
            SwapResult::NotSwapped);
  EXPECT_EQ(readFile(dir / "launcher"), "old");
}

}  // namespace
}  // namespace launcher
