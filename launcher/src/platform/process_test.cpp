#include "platform/process.h"

#include "testing/special_files.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;

std::string waitForFile(const fs::path& file) {
  for (int i = 0; i < 1000; ++i) {
    if (fs::exists(file)) return testing::readFile(file);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

TEST(SpawnDetached, ChildInheritsOnlyTheStandardStreams) {
  testing::TempDir dir;
  testing::writeFile(dir / "secret", "lock");
  const int fd = testing::openInheritable(dir / "secret");
  ASSERT_GE(fd, 3);
  const fs::path out = dir / "out.txt";
  const std::string script = "if [ -e /proc/$$/fd/" + std::to_string(fd) + " ]; then r=inherited; else r=closed; fi; " +
                             "pwd > '" + out.string() + ".tmp'; echo $r >> '" + out.string() + ".tmp'; mv '" +
                             out.string() + ".tmp' '" + out.string() + "'";
  SpawnOptions options;
  options.workingFolder = dir / "work";
  fs::create_directories(options.workingFolder);
  std::string error;
  ASSERT_TRUE(spawnDetached({"/bin/sh", "-c", script}, options, error)) << error;
  EXPECT_EQ(waitForFile(out), (dir / "work").string() + "\nclosed\n");
  testing::closeDescriptor(fd);
}

TEST(SpawnDetached, AProgramThatCannotStartIsAFailureWithTheReason) {
  std::string error;
  EXPECT_FALSE(spawnDetached({"/nonexistent/program"}, SpawnOptions{}, error));
  EXPECT_EQ(error, "Couldn't start /nonexistent/program: No such file or directory");
  EXPECT_FALSE(spawnDetached({}, SpawnOptions{}, error));
  EXPECT_EQ(error, "Nothing to start");
}

TEST(MakeExecutable, ExecuteBitsFollowTheReadBits) {
  testing::TempDir dir;
  struct Row {
    fs::perms before;
    fs::perms after;
  };
  using P = fs::perms;
  const Row rows[] = {
      {P::owner_read | P::owner_write | P::group_read | P::others_read, P::owner_all | P::group_read | P::group_exec |
                                                                            P::others_read | P::others_exec},
      {P::owner_read | P::owner_write, P::owner_all},
  };
  for (const Row& r : rows) {
    testing::writeFile(dir / "game", "");
    fs::permissions(dir / "game", r.before, fs::perm_options::replace);
    ASSERT_TRUE(makeExecutable(dir / "game"));
    EXPECT_EQ(fs::status(dir / "game").permissions(), r.after);
  }
  EXPECT_FALSE(makeExecutable(dir / "missing"));
}

}  // namespace
}  // namespace launcher
