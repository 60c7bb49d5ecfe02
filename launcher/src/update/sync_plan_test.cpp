#include "update/sync_plan.h"

#include "testing/temp_dir.h"

#include <gtest/gtest.h>

namespace launcher {
namespace {

ManifestFile file(const std::string& path, const std::string& digit) {
  return ManifestFile{path, 10, std::string(64, digit[0]), {}};
}

TEST(SyncPlan, EachRewrittenFileSaysWhetherItIsMissingDamagedOrChangedByTheRelease) {
  testing::TempDir root;
  GameManifest installed;
  installed.files = {file("same.pak", "a"), file("new-content.pak", "b"), file("gone.pak", "c")};
  GameManifest next;
  next.version = "1.1.0";
  next.build = 7;
  next.files = {file("same.pak", "a"), file("new-content.pak", "d"), file("gone.pak", "c"), file("added.pak", "e"),
                file("ok.pak", "f")};
  testing::writeFile(root / "same.pak", "damaged!!!");
  testing::writeFile(root / "new-content.pak", "old bytes.");
  testing::writeFile(root / "added.pak", "by hand...");
  const SyncPlan plan = makeSyncPlan(root.path(), next, &installed, {0, 1, 2, 3}, 4096, 3);
  EXPECT_EQ(plan.version, "1.1.0");
  EXPECT_EQ(plan.build, 7);
  EXPECT_EQ(plan.filesChecked, 5);
  EXPECT_EQ(plan.downloadBytes, 4096u);
  EXPECT_EQ(plan.downloadObjects, 3);
  ASSERT_EQ(plan.files.size(), 4u);
  EXPECT_EQ(plan.files[0].change, PlannedChange::Damaged);  // the installed release has these bytes' digest
  EXPECT_EQ(plan.files[1].change, PlannedChange::Updated);  // the release changed it
  EXPECT_EQ(plan.files[2].change, PlannedChange::Missing);
  EXPECT_EQ(plan.files[3].change, PlannedChange::Updated);  // the installed release never had it

  // Without an installed manifest nothing can be told apart from damage.
  const SyncPlan bare = makeSyncPlan(root.path(), next, nullptr, {1, 2, 3}, 0, 0);
  EXPECT_EQ(bare.files[0].change, PlannedChange::Damaged);
  EXPECT_EQ(bare.files[1].change, PlannedChange::Missing);
  EXPECT_EQ(bare.files[2].change, PlannedChange::Damaged);
}

}  // namespace
}  // namespace launcher
