#include "platform/platform.h"

#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// The /tmp fallback of the runtime folder holds the single-instance and game
// locks: anything another user could have placed or could reach is refused.
TEST(PrivateFolder, OnlyARealFolderOfThisUserWithMode0700IsAccepted) {
  TempDir dir;
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
    const char* problem;  // nullptr: accepted
  };
  const Case cases[] = {
      {"missing", [](const fs::path&) {}, nullptr},
      {"ours-0700", [](const fs::path& p) { ::mkdir(p.c_str(), 0700); }, nullptr},
      {"mode-0755",
       [](const fs::path& p) {
         ::mkdir(p.c_str(), 0700);
         ::chmod(p.c_str(), 0755);
       },
       "has mode 0755"},
      {"sticky-1700",
       [](const fs::path& p) {
         ::mkdir(p.c_str(), 0700);
         ::chmod(p.c_str(), 01700);
       },
       "has mode 1700"},
      {"link-to-ours",
       [&](const fs::path& p) {
         ::mkdir((dir / "elsewhere").c_str(), 0700);
         fs::create_directory_symlink(dir / "elsewhere", p);
       },
       "is not a folder"},
      {"a-file", [](const fs::path& p) { testing::writeFile(p, "x"); }, "is not a folder"},
      {"another-users",
       [](const fs::path& p) {
         ::mkdir(p.c_str(), 0700);
         if (::chown(p.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)) != 0) fs::remove(p);
       },
       "belongs to another user"},
  };
  for (const Case& c : cases) {
    const fs::path folder = dir / c.name;
    c.make(folder);
    if (std::string(c.name) == "another-users" && !fs::exists(folder)) {
      std::cout << "skipped case another-users: changing a folder's owner needs root\n";
      continue;
    }
    std::string error;
    const bool ok = ensurePrivateFolder(folder, error);
    if (!c.problem) {
      EXPECT_TRUE(ok) << c.name << ": " << error;
      struct stat st {};
      ASSERT_EQ(::lstat(folder.c_str(), &st), 0) << c.name;
      EXPECT_EQ(st.st_mode & 07777, 0700u) << c.name;
    } else {
      EXPECT_FALSE(ok) << c.name;
      EXPECT_NE(error.find(c.problem), std::string::npos) << c.name << ": " << error;
      EXPECT_NE(error.find(folder.string()), std::string::npos) << c.name << ": " << error;
    }
  }
}

TEST(FileLock, SecondHolderIsRefusedUntilTheFirstLetsGo) {
  TempDir dir;
  const fs::path file = dir / "staging" / "lock";
  FileLock first;
  FileLock second;
  std::string error;
  ASSERT_EQ(first.tryAcquire(file, error), FileLock::Result::Acquired) << error;
  EXPECT_EQ(second.tryAcquire(file, error), FileLock::Result::HeldElsewhere);
  // Deleted while held: the next holder takes a new file, never the old one.
  first.removeAndRelease();
  EXPECT_FALSE(fs::exists(file));
  ASSERT_EQ(second.tryAcquire(file, error), FileLock::Result::Acquired) << error;
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(first.tryAcquire(file, error), FileLock::Result::HeldElsewhere);
}

}  // namespace
}  // namespace launcher
