// The sync when the file system fails under it: folders that cannot be
// listed, at once or half-way through, wherever the sync lists one. Whatever
// fails, the sync returns (it never throws), says why when it fails, and a
// run after the fault has gone finishes the folder exactly.
#include "update/folder_sync.h"

#include "testing/folder_faults.h"
#include "testing/linux_only.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"
#include "update/location.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr uint64_t chunkSize = 4096;

// A release in a local feed: objects under feed/objects/<h[0:2]>/<h>.
GameManifest publish(const fs::path& feed, const std::map<std::string, std::string>& files, const std::string& version) {
  GameManifest m;
  m.version = version;
  m.build = 1;
  m.chunkSize = chunkSize;
  m.objects = "objects/";
  m.source = toUtf8(feed / "manifest.json");
  for (const auto& [path, content] : files) {
    ManifestFile f;
    f.path = path;
    f.size = content.size();
    f.sha256 = sha256Hex(content);
    for (uint64_t offset = 0; offset < content.size() || offset == 0; offset += chunkSize) {
      const std::string bytes = content.substr(offset, chunkSize);
      f.chunks.push_back(sha256Hex(bytes));
      writeFile(feed / "objects" / f.chunks.back().substr(0, 2) / f.chunks.back(), bytes);
      if (content.empty()) break;
    }
    m.files.push_back(f);
  }
  return m;
}

std::string filler(char c, size_t n) { return std::string(n, c); }

// Every file of `files` with its content, and manifest.json naming `version`.
::testing::AssertionResult holds(const fs::path& root, const std::map<std::string, std::string>& files,
                                 const std::string& version) {
  for (const auto& [path, content] : files) {
    if (readFile(root / path) != content) return ::testing::AssertionFailure() << path << " differs";
  }
  GameManifest installed;
  if (!readInstalledManifest(root, installed) || installed.version != version) {
    return ::testing::AssertionFailure() << "manifest.json does not name " << version;
  }
  return ::testing::AssertionSuccess();
}

TEST(FolderSyncFaultsTest, FolderThatCannotBeListedNeverEndsTheProcess) {
  VANTOR_LINUX_ONLY("readdir interposed in the test binary");
  const std::map<std::string, std::string> v1 = {
      {"a.bin", filler('a', 3 * chunkSize)}, {"data/b.bin", filler('b', chunkSize + 10)}, {"data/old.bin", "old"}};
  const std::map<std::string, std::string> v2 = {{"a.bin", filler('A', 3 * chunkSize)},
                                                 {"data/b.bin", filler('b', chunkSize + 10)},
                                                 {"data/sub/c.bin", filler('c', 2 * chunkSize)},
                                                 {"data/old.bin/new.bin", "a file where a file was"}};
  const std::vector<std::string> folders = {"", "data", ".staging", ".staging/files", ".staging/files/data",
                                            ".staging/chunks", "data/sub"};
  int faultsMade = 0;
  for (const std::string& folder : folders) {
    for (int skip : {0, 1}) {
      SCOPED_TRACE(folder + " after " + std::to_string(skip) + " entries");
      testing::LogCapture log;
      TempDir dir;
      const fs::path root = dir / "game";
      std::atomic<bool> cancel{false};
      std::string error;
      const GameManifest first = publish(dir / "feed1", v1, "1");
      ASSERT_TRUE(syncFolder(root, first, false, cancel, {}, error)) << error;
      const GameManifest second = publish(dir / "feed2", v2, "2");
      // The folders the sync makes exist from the start, so each can fail.
      fs::create_directories(root / folder);
      bool ok = false;
      {
        testing::FolderReadFailure failure(root / folder, skip);
        EXPECT_NO_THROW(ok = syncFolder(root, second, false, cancel, {}, error));
        faultsMade += failure.failures();
      }
      if (ok) {
        EXPECT_TRUE(holds(root, v2, "2"));
        EXPECT_FALSE(fs::exists(root / ".staging" / "installing.json")) << "the next run would check every file";
      } else {
        EXPECT_FALSE(error.empty());
        EXPECT_NE(error, "Cancelled");
      }
      // With the fault gone, a run finishes the folder.
      error.clear();
      EXPECT_TRUE(syncFolder(root, second, false, cancel, {}, error)) << error;
      EXPECT_TRUE(holds(root, v2, "2"));
    }
  }
  EXPECT_GT(faultsMade, 0) << "no listing failed: the test proves nothing";
}

// The clean-up after a finished sync lists the staging folder: a listing
// that fails half-way leaves the folder for later, and the sync succeeds.
TEST(FolderSyncFaultsTest, StagingThatFailsHalfWayThroughItsListingIsLeftAndTheSyncSucceeds) {
  VANTOR_LINUX_ONLY("readdir interposed in the test binary");
  testing::LogCapture log;
  TempDir dir;
  const fs::path root = dir / "game";
  const std::map<std::string, std::string> files = {{"a.bin", filler('a', 2 * chunkSize)}};
  const GameManifest m = publish(dir / "feed", files, "1");
  std::atomic<bool> cancel{false};
  std::string error;
  fs::create_directories(root / ".staging");
  bool ok = false;
  int failures = 0;
  {
    testing::FolderReadFailure failure(root / ".staging", 1);
    EXPECT_NO_THROW(ok = syncFolder(root, m, false, cancel, {}, error));
    failures = failure.failures();
  }
  EXPECT_TRUE(ok) << error;
  EXPECT_GT(failures, 0);
  EXPECT_TRUE(holds(root, files, "1"));
  EXPECT_FALSE(fs::exists(root / ".staging" / "installing.json"));
  bool said = false;
  for (const std::string& line : log.warnings()) said = said || line.rfind("Couldn't list", 0) == 0;
  EXPECT_TRUE(said) << "say why the staging folder stays";
}

}  // namespace
}  // namespace launcher
