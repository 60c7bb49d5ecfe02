#include "tasks/game_update.h"

#include "testing/temp_dir.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>

namespace launcher {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t maxBytes = std::numeric_limits<uint64_t>::max();

TEST(DiskSpace, NeedCountsWhatAssemblyWritesAndNeverOverflows) {
  struct Row {
    uint64_t estimate;
    uint64_t assembled;
    uint64_t need;
  };
  const Row rows[] = {
      {100'000'000, 0, 468'435'456},             // twice the download stays the lower bound
      {100'000'000, 100'000'000, 468'435'456},   // equal: the same
      {0, 0, 256 * MiB},                         // an up-to-date game still needs room
      {10 * MiB, 2000 * MiB, 2266 * MiB},        // a one-chunk change to a 2000 MiB file
      {maxBytes, 0, maxBytes},
      {maxBytes / 2 + 1, 0, maxBytes},
      {1, maxBytes, maxBytes},
      {maxBytes - 256 * MiB, 0, maxBytes},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(diskSpaceNeeded(r.estimate, r.assembled), r.need) << r.estimate << " + " << r.assembled;
  }
  EXPECT_EQ(notEnoughSpaceText(468'435'456, 300'000'000), "Not enough disk space: 0.2 GB more needed");
  EXPECT_EQ(notEnoughSpaceText(3'050'000'000, 0), "Not enough disk space: 3.0 GB more needed");
}

TEST(DiskSpace, AssembledBytesAreTheFilesThatDifferFromTheInstalledRecord) {
  testing::TempDir dir;
  const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
  testing::writeFile(dir / "same.dat", std::string(10, 'x'));
  testing::writeFile(dir / "changed.dat", std::string(20, 'x'));
  testing::writeFile(dir / "manifest.json",
                     R"({"version":"1","build":1,"chunkSize":1048576,"files":[)"
                     R"({"path":"same.dat","size":10,"sha256":")" + a + R"("},)"
                     R"({"path":"changed.dat","size":20,"sha256":")" + b + R"("}]})");
  GameManifest next;
  next.files = {{"same.dat", 10, a, {}}, {"changed.dat", 20, c, {}}, {"new.dat", 300, c, {}}};
  EXPECT_EQ(bytesToAssemble(dir.path(), next), 320u);
  EXPECT_EQ(bytesToAssemble(dir / "nothing-installed", next), 330u);
}

// An install that stopped half-way may have put files in place that its
// manifest.json does not describe: the sync then hashes every file, and so
// must the count, or a nearly full disk runs out after the download.
TEST(DiskSpace, AfterAnInterruptedInstallWhatLooksPresentIsHashed) {
  testing::TempDir dir;
  const std::string same(10, 'x');
  const std::string other(10, 'y');  // the same size, other bytes
  testing::writeFile(dir / "same.dat", same);
  testing::writeFile(dir / "moved.dat", other);
  GameManifest release;
  release.version = "2";
  release.build = 2;
  release.files = {{"same.dat", 10, sha256Hex(same), {}}, {"moved.dat", 10, sha256Hex(same), {}}};
  // The record says both files are this release's.
  ASSERT_TRUE(writeInstalledManifest(dir.path(), release));
  EXPECT_EQ(bytesToAssemble(dir.path(), release), 0u) << "trusted while no install was interrupted";
  testing::writeFile(dir / ".staging" / "installing.json", "{}");
  EXPECT_EQ(bytesToAssemble(dir.path(), release), 10u) << "moved.dat differs from its digest";
  std::atomic<bool> cancel{true};
  EXPECT_EQ(bytesToAssemble(dir.path(), release, cancel), 20u) << "a cancelled count counts every file";
}

}  // namespace
}  // namespace launcher
