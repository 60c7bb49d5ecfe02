#include "platform/process.h"

#include "testing/odd_files.h"
#include "testing/linux_only.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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
  VANTOR_LINUX_ONLY("/bin/sh, /proc and mode bits");
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
  VANTOR_LINUX_ONLY("/bin/sh, /proc and mode bits");
  std::string error;
  EXPECT_FALSE(spawnDetached({"/nonexistent/program"}, SpawnOptions{}, error));
  EXPECT_EQ(error, "Couldn't start /nonexistent/program: No such file or directory");
  EXPECT_FALSE(spawnDetached({}, SpawnOptions{}, error));
  EXPECT_EQ(error, "Nothing to start");
}

// Sets the process's umask for the life of the object (each test runs in a
// process of its own).
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

TEST(MakeExecutable, ExecuteBitsFollowTheReadBitsLessTheUmask) {
  VANTOR_LINUX_ONLY("mode bits and the umask");
  testing::TempDir dir;
  using P = fs::perms;
  struct Row {
    mode_t umask;
    fs::perms before;
    fs::perms after;
  };
  const P rw_r_r = P::owner_read | P::owner_write | P::group_read | P::others_read;
  const Row rows[] = {
      {022, rw_r_r, P::owner_all | P::group_read | P::group_exec | P::others_read | P::others_exec},
      {022, P::owner_read | P::owner_write, P::owner_all},
      {077, rw_r_r, P::owner_all | P::group_read | P::others_read},
      {027, rw_r_r, P::owner_all | P::group_read | P::group_exec | P::others_read},
      // The owner may run it already: left alone.
      {022, P::owner_all | P::group_read, P::owner_all | P::group_read},
      // Not even readable: the owner still gets to run it.
      {022, P::owner_write, P::owner_write | P::owner_exec},
  };
  for (const Row& r : rows) {
    ScopedUmask mask(r.umask);
    testing::writeFile(dir / "game", "");
    fs::permissions(dir / "game", r.before, fs::perm_options::replace);
    std::string error;
    ASSERT_TRUE(makeExecutable(dir / "game", error)) << error;
    EXPECT_EQ(fs::status(dir / "game").permissions(), r.after) << std::oct << r.umask;
  }
  std::string error;
  EXPECT_FALSE(makeExecutable(dir / "missing", error));
  EXPECT_EQ(error, "No such file or directory");
}

}  // namespace
}  // namespace launcher
