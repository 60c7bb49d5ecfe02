#include "data/install_registration.h"

#include "testing/log_capture.h"
#include "testing/linux_only.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

namespace fs = std::filesystem;

TEST(InstallSize, CountsRegularFilesOnlyAndNeverFollowsLinks) {
  VANTOR_LINUX_ONLY("symbolic links a test makes (wine's CreateSymbolicLinkW makes none)");
  testing::TempDir dir;
  testing::TempDir outside;
  testing::writeFile(outside / "huge.bin", std::string(5000, 'x'));
  testing::writeFile(dir / "launcher" / "a.bin", std::string(1000, 'x'));
  testing::writeFile(dir / "launcher" / "game" / "deep" / "b.bin", std::string(24, 'x'));
  fs::create_directory_symlink(outside.path(), dir / "launcher" / "game" / "junction");
  fs::create_symlink(outside / "huge.bin", dir / "launcher" / "link.bin");
  EXPECT_EQ(installedSizeBytes(dir / "launcher"), 1024u);
  EXPECT_EQ(installedSizeBytes(dir / "missing"), 0u);
}

TEST(InstallSize, LoggedInWholeKibibytes) {
  struct Row {
    uint64_t bytes;
    uint64_t kib;
  };
  for (const Row& r : {Row{1023, 0}, Row{1024, 1}, Row{10'485'760, 10'240}}) {
    testing::TempDir dir;
    testing::writeFile(dir / "f.bin", "");
    fs::resize_file(dir / "f.bin", r.bytes);
    testing::LogCapture log;
    updateEstimatedSize(dir.path());
    EXPECT_EQ(log.messages("info"), std::vector<std::string>{"Install size " + std::to_string(r.kib) + " KiB"});
  }
}

}  // namespace
}  // namespace launcher
