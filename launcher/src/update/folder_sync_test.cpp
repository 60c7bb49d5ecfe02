#include "update/folder_sync.h"

#include "platform/platform.h"
#include "base/thread_start.h"
#include "testing/log_capture.h"
#include "testing/linux_only.h"
#include "testing/scoped_vfat.h"
#include "testing/scoped_tmpfs.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"
#include "update/location.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr uint64_t testChunkSize = 4096;

std::string randomBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

struct FeedFile {
  std::string path;
  std::string content;
  bool chunked = true;  // false: one whole-file object
};

// A local feed: objects in feed/objects/<h[0:2]>/<h>, manifests made here
// from the bytes the test chose, located as a plain path.
class FolderSyncTest : public ::testing::Test {
 protected:
  GameManifest release(const std::vector<FeedFile>& files, const std::string& version, int32_t build,
                       uint64_t chunkSize = testChunkSize) {
    GameManifest m;
    m.version = version;
    m.build = build;
    m.chunkSize = chunkSize;
    m.objects = "objects/";
    m.source = toUtf8(feed / "manifest.json");
    for (const FeedFile& f : files) {
      ManifestFile mf;
      mf.path = f.path;
      mf.size = f.content.size();
      mf.sha256 = sha256Hex(f.content);
      if (!f.chunked) {
        writeFile(objectFile(mf.sha256), f.content);
      } else {
        for (uint64_t offset = 0; offset < f.content.size() || offset == 0; offset += chunkSize) {
          const std::string bytes = f.content.substr(offset, chunkSize);
          mf.chunks.push_back(sha256Hex(bytes));
          writeFile(objectFile(mf.chunks.back()), bytes);
          if (f.content.empty()) break;
        }
      }
      m.files.push_back(mf);
    }
    return m;
  }
  fs::path objectFile(const std::string& hash) const { return feed / "objects" / hash.substr(0, 2) / hash; }
  // From here on any fetch fails, so a sync that succeeds fetched nothing.
  void removeAllObjects() { fs::remove_all(feed / "objects"); }
  // Serves every object of the feed from `server`, so requests can be counted.
  void serveObjects(testing::TestHttpServer& server, GameManifest& m) {
    for (const auto& entry : fs::recursive_directory_iterator(feed / "objects")) {
      if (!entry.is_regular_file()) continue;
      testing::TestResponse r;
      r.body = readFile(entry.path());
      server.serve("/feed/objects/" + toGenericUtf8(entry.path().lexically_relative(feed / "objects")), r);
    }
    m.source = server.url("/feed/manifest.json");
  }
  static std::string objectPath(const std::string& hash) { return "/feed/objects/" + hash.substr(0, 2) + "/" + hash; }

  bool sync(const GameManifest& m, bool verify = false) {
    error.clear();
    return syncFolder(game, m, verify, cancel, onProgress, error, report);
  }
  std::string installed(const std::string& path) const { return readFile(game / path); }
  // The chunks of `m` that lie verified at their place in the staged files.
  std::set<std::string> stagedVerified(const GameManifest& m) const {
    std::set<std::string> out;
    for (const ManifestFile& f : m.files) {
      const std::string bytes = readFile(game / ".staging" / "files" / f.path);
      for (const ManifestChunk& c : chunkList(f, m.chunkSize)) {
        if (c.offset + c.size <= bytes.size() && sha256Hex(bytes.substr(c.offset, c.size)) == c.hash) {
          out.insert(c.hash);
        }
      }
    }
    return out;
  }

  TempDir dir;
  fs::path feed = dir / "feed";
  fs::path game = dir / "game";
  std::atomic<bool> cancel{false};
  std::function<void(const Progress&)> onProgress;
  std::string error;
  SyncReport report;
};

const std::string big = randomBytes(5 * testChunkSize + 100, 1);
const std::string small = randomBytes(300, 2);

TEST_F(FolderSyncTest, FreshInstallCreatesFilesAndManifestOnlyAtTheEnd) {
  LogCapture log;
  const GameManifest v1 = release(
      {{"data/big.pak", big}, {"small.txt", small}, {"empty.bin", ""}, {"whole.bin", small + "x", false}}, "1.0", 7);
  std::vector<std::string> phases;
  bool touchedEarly = false;
  bool otherThread = false;
  const auto self = std::this_thread::get_id();
  onProgress = [&](const Progress& p) {
    if (phases.empty() || phases.back() != p.phase) phases.push_back(p.phase);
    if (std::this_thread::get_id() != self) otherThread = true;
    if (fs::exists(game / "manifest.json")) touchedEarly = true;
    if (p.phase != "Installing" && (fs::exists(game / "data/big.pak") || fs::exists(game / "small.txt"))) {
      touchedEarly = true;
    }
  };
  ASSERT_TRUE(sync(v1)) << error;
  EXPECT_FALSE(touchedEarly) << "installed files and manifest.json must appear only at the end";
  EXPECT_FALSE(otherThread) << "progress must be reported on the sync thread";
  EXPECT_EQ(phases, (std::vector<std::string>{"Comparing", "Downloading", "Assembling", "Installing"}));
  EXPECT_EQ(installed("data/big.pak"), big);
  EXPECT_EQ(installed("small.txt"), small);
  EXPECT_EQ(installed("empty.bin"), "");
  EXPECT_EQ(installed("whole.bin"), small + "x");
  EXPECT_FALSE(fs::exists(game / ".staging"));
  EXPECT_EQ(report.filesChanged, 4);
  EXPECT_EQ(report.chunksDownloaded, 6 + 1 + 1 + 1);

  GameManifest record;
  ASSERT_TRUE(readInstalledManifest(game, record));
  EXPECT_EQ(record.version, "1.0");
  EXPECT_EQ(record.source, v1.source);
  ASSERT_EQ(record.files.size(), 4u);
  EXPECT_EQ(record.files[0].chunks, v1.files[0].chunks);

  const std::vector<std::string> info = log.messages("info");
  ASSERT_EQ(info.size(), 2u);
  EXPECT_EQ(info[0], "Sync " + toUtf8(game) + " to 1.0 (7): 4 of 4 files change, 0.0 MB to download");
  EXPECT_EQ(info[1], "game is now 1.0 (build 7)");
}

TEST_F(FolderSyncTest, UpdateOfOneChunkFetchesOnlyThatChunk) {
  testing::TestHttpServer server;
  GameManifest v1 = release({{"data/big.pak", big}, {"small.txt", small}}, "1.0", 1);
  std::string changed = big;
  changed[2 * testChunkSize + 17] ^= 0x5a;
  GameManifest v2 = release({{"data/big.pak", changed}, {"small.txt", small}}, "1.1", 2);
  serveObjects(server, v1);
  serveObjects(server, v2);
  ASSERT_TRUE(sync(v1)) << error;
  std::map<std::string, int> before;
  for (const std::string& h : v2.files[0].chunks) before[h] = server.requestCount(objectPath(h));

  ASSERT_TRUE(sync(v2)) << error;
  EXPECT_EQ(installed("data/big.pak"), changed);
  const std::string& newChunk = v2.files[0].chunks[2];
  for (const std::string& h : v2.files[0].chunks) {
    EXPECT_EQ(server.requestCount(objectPath(h)) - before[h], h == newChunk ? 1 : 0) << h;
  }
  EXPECT_EQ(report.chunksDownloaded, 1);
  EXPECT_EQ(report.bytesDownloaded, testChunkSize);
  EXPECT_EQ(report.filesChanged, 1);
}

TEST_F(FolderSyncTest, RenamedFileComesFromInstalledSources) {
  const GameManifest v1 = release({{"old/name.pak", big}, {"small.txt", small}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  const GameManifest v2 = release({{"new/name.pak", big}, {"small.txt", small}}, "1.1", 2);
  removeAllObjects();
  ASSERT_TRUE(sync(v2)) << error;
  EXPECT_EQ(report.chunksDownloaded, 0);
  EXPECT_EQ(installed("new/name.pak"), big);
  EXPECT_FALSE(fs::exists(game / "old/name.pak"));
  EXPECT_FALSE(fs::exists(game / "old")) << "a folder only the removed file used goes with it";
  EXPECT_EQ(report.filesRemoved, 1);
}

TEST_F(FolderSyncTest, ResumeAfterCancelReusesStagedChunks) {
  testing::TestHttpServer server;
  std::vector<FeedFile> files;
  for (int i = 0; i < 8; ++i) files.push_back({"data/f" + std::to_string(i), randomBytes(5 * testChunkSize, 10 + i)});
  GameManifest v1 = release(files, "1.0", 1);
  // The first two files' ten objects come at once; the rest are held, so the
  // cancel lands with exactly ten fetched and four transfers waiting on a
  // silent server.
  std::set<std::string> quick(v1.files[0].chunks.begin(), v1.files[0].chunks.end());
  quick.insert(v1.files[1].chunks.begin(), v1.files[1].chunks.end());
  serveObjects(server, v1);
  for (const ManifestFile& f : v1.files) {
    for (const std::string& h : f.chunks) {
      if (quick.count(h)) continue;
      testing::TestResponse held;
      held.body = readFile(objectFile(h));
      held.hold = true;
      server.serve(objectPath(h), held);
    }
  }
  onProgress = [&](const Progress& p) {
    if (p.phase == "Downloading" && p.filesDone >= 10) cancel = true;
  };
  ASSERT_FALSE(sync(v1));
  EXPECT_EQ(error, "Cancelled");
  EXPECT_FALSE(fs::exists(game / "data"));
  const std::set<std::string> staged = stagedVerified(v1);
  ASSERT_EQ(staged, quick);
  // A chunk damaged on disk must be fetched again, not trusted.
  const std::string damaged = v1.files[1].chunks[2];
  {
    const fs::path file = game / ".staging/files/data/f1";
    std::string bytes = readFile(file);
    bytes[2 * testChunkSize + 7] ^= 1;
    writeFile(file, bytes);
  }

  std::map<std::string, int> before;
  for (const ManifestFile& f : v1.files) {
    for (const std::string& h : f.chunks) before[h] = server.requestCount(objectPath(h));
  }
  server.releaseHeld();
  serveObjects(server, v1);  // nothing held any more
  cancel = false;
  onProgress = nullptr;
  ASSERT_TRUE(sync(v1)) << error;
  EXPECT_EQ(report.chunksDownloaded, static_cast<int32_t>(40 - staged.size() + 1));
  int refetched = 0;
  for (const auto& [h, count] : before) refetched += server.requestCount(objectPath(h)) - count;
  EXPECT_EQ(refetched, static_cast<int>(40 - staged.size() + 1));
  EXPECT_EQ(server.requestCount(objectPath(damaged)) - before[damaged], 1);
  for (const std::string& h : quick) {
    if (h == damaged) continue;
    EXPECT_EQ(server.requestCount(objectPath(h)), before[h]) << "verified, yet fetched again";
  }
  for (const FeedFile& f : files) EXPECT_EQ(installed(f.path), f.content) << f.path;
}

TEST_F(FolderSyncTest, RepairRebuildsCorruptedFileFromItsOwnGoodChunks) {
  const GameManifest v1 = release({{"data/big.pak", big}, {"small.txt", small}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  std::string corrupt = big;
  corrupt[3 * testChunkSize + 5] ^= 1;
  writeFile(game / "data/big.pak", corrupt);
  // No record of what is installed: the good chunks can only come from the
  // damaged file itself, in place.
  fs::remove(game / "manifest.json");
  // Only the damaged chunk's object stays on the server.
  const std::string damagedChunk = v1.files[0].chunks[3];
  const std::string object = readFile(objectFile(damagedChunk));
  removeAllObjects();
  writeFile(objectFile(damagedChunk), object);

  ASSERT_TRUE(sync(v1, /*verify=*/true)) << error;
  EXPECT_EQ(installed("data/big.pak"), big);
  EXPECT_EQ(report.chunksDownloaded, 1);
  EXPECT_EQ(report.filesChanged, 1);
}

TEST_F(FolderSyncTest, UpdateModeTrustsTheInstalledManifest) {
  LogCapture log;
  const GameManifest v1 = release({{"data/big.pak", big}, {"small.txt", small}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  std::string corrupt = big;
  corrupt[10] ^= 1;
  writeFile(game / "data/big.pak", corrupt);
  ASSERT_TRUE(sync(v1)) << error;
  EXPECT_EQ(installed("data/big.pak"), corrupt) << "a file of the right size is trusted without --verify";
  EXPECT_EQ(log.messages("info")[2], "Sync " + toUtf8(game) + " to 1.0 (1): 0 of 2 files change, 0.0 MB to download");

  // A wrong size is noticed, and the file comes back from its own chunks.
  writeFile(game / "small.txt", small.substr(0, 10));
  removeAllObjects();
  writeFile(objectFile(v1.files[1].chunks[0]), small);
  ASSERT_TRUE(sync(v1)) << error;
  EXPECT_EQ(installed("small.txt"), small);
  EXPECT_EQ(report.filesChanged, 1);
}

TEST_F(FolderSyncTest, GameRunningLeavesInstalledFilesUntouched) {
  const GameManifest v1 = release({{"data/big.pak", big}, {"small.txt", small}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  const std::string manifestBefore = readFile(game / "manifest.json");
  std::string newBig = big;
  newBig[1] ^= 1;
  const std::string added = randomBytes(900, 3);
  const GameManifest v2 =
      release({{"data/big.pak", newBig}, {"small.txt", small + "!"}, {"added.txt", added}}, "1.1", 2);
  {
    GameLock lock;
    ASSERT_TRUE(lock.acquire(error)) << error;
    ASSERT_TRUE(isGameRunning());
    EXPECT_FALSE(sync(v2));
    EXPECT_EQ(error, "Close the game to finish the update");
  }
  EXPECT_EQ(installed("data/big.pak"), big);
  EXPECT_EQ(installed("small.txt"), small);
  EXPECT_FALSE(fs::exists(game / "added.txt"));
  EXPECT_EQ(readFile(game / "manifest.json"), manifestBefore);
  EXPECT_TRUE(fs::exists(game / ".staging"));

  // The game has ended: everything needed is staged, nothing is fetched again.
  removeAllObjects();
  ASSERT_TRUE(sync(v2)) << error;
  EXPECT_EQ(report.chunksDownloaded, 0);
  EXPECT_EQ(installed("data/big.pak"), newBig);
  EXPECT_EQ(installed("small.txt"), small + "!");
  EXPECT_EQ(installed("added.txt"), added);
}

TEST_F(FolderSyncTest, FullDiskIsFoundBeforeAnyFetchAndLeavesInstalledFilesUntouched) {
  const uint64_t chunk = 64 * 1024;
  testing::ScopedTmpfs disk(dir / "disk", 6ull << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.skipReason();
  game = disk.path() / "game";
  const std::string a1 = randomBytes(512 * 1024, 4);
  const GameManifest v1 = release({{"a.bin", a1}}, "1.0", 1, chunk);
  ASSERT_TRUE(sync(v1)) << error;
  const std::string manifestBefore = readFile(game / "manifest.json");
  // 2 MiB to stage, with about 1.5 MiB free.
  const std::string a2 = randomBytes(1 << 20, 5);
  const std::string b2 = randomBytes(1 << 20, 6);
  const GameManifest v2 = release({{"a.bin", a2}, {"b.bin", b2}}, "2.0", 2, chunk);
  writeFile(disk.path() / "filler", std::string(4 << 20, 'f'));

  ASSERT_FALSE(sync(v2));
  EXPECT_EQ(error, "Couldn't write b.bin (disk full?)");
  EXPECT_EQ(report.chunksDownloaded, 0) << "the full disk must show before anything is fetched";
  EXPECT_EQ(installed("a.bin"), a1);
  EXPECT_FALSE(fs::exists(game / "b.bin"));
  EXPECT_EQ(readFile(game / "manifest.json"), manifestBefore);

  fs::remove(disk.path() / "filler");
  ASSERT_TRUE(sync(v2)) << error;
  EXPECT_EQ(installed("a.bin"), a2);
  EXPECT_EQ(installed("b.bin"), b2);
}

TEST_F(FolderSyncTest, RemovedFilesAreDeletedButUnlistedFilesKept) {
  const GameManifest v1 =
      release({{"keep.txt", small}, {"gone.txt", "bye"}, {"dir/gone.bin", big}, {"dir2/gone.bin", "x"}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  writeFile(game / "saves/slot1.sav", "my save");
  writeFile(game / "dir/notes.txt", "my notes");
  const GameManifest v2 = release({{"keep.txt", small}}, "2.0", 2);
  ASSERT_TRUE(sync(v2)) << error;
  EXPECT_EQ(installed("keep.txt"), small);
  EXPECT_FALSE(fs::exists(game / "gone.txt"));
  EXPECT_FALSE(fs::exists(game / "dir/gone.bin"));
  EXPECT_FALSE(fs::exists(game / "dir2"));
  EXPECT_EQ(installed("saves/slot1.sav"), "my save");
  EXPECT_EQ(installed("dir/notes.txt"), "my notes");
  EXPECT_EQ(report.filesRemoved, 3);
}

TEST_F(FolderSyncTest, RepairOfIntactInstallChangesNothing) {
  LogCapture log;
  std::vector<FeedFile> files;
  for (int i = 0; i < 12; ++i) files.push_back({"f" + std::to_string(i), randomBytes(1000 * i + 1, 20 + i)});
  const GameManifest v1 = release(files, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  fs::remove(game / "manifest.json");
  removeAllObjects();
  Progress lastCheck;
  onProgress = [&](const Progress& p) {
    if (p.phase == "Checking files") lastCheck = p;
  };
  ASSERT_TRUE(sync(v1, /*verify=*/true)) << error;
  EXPECT_EQ(log.messages("info")[2], "Sync " + toUtf8(game) + " to 1.0 (1): 0 of 12 files change, 0.0 MB to download");
  EXPECT_EQ(report.filesChanged, 0);
  EXPECT_TRUE(fs::exists(game / "manifest.json")) << "manifest.json is rewritten";
  uint64_t total = 0;
  for (const FeedFile& f : files) total += f.content.size();
  EXPECT_EQ(lastCheck.bytesTotal, total);
  EXPECT_EQ(lastCheck.bytesDone, total);
  EXPECT_EQ(lastCheck.filesDone, 12);
  for (const FeedFile& f : files) EXPECT_EQ(installed(f.path), f.content);
}

TEST_F(FolderSyncTest, CancelDuringRepairHashingStops) {
  const GameManifest v1 = release({{"data/big.pak", big}, {"small.txt", small}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  cancel = true;
  EXPECT_FALSE(sync(v1, true));
  EXPECT_EQ(error, "Cancelled");
  EXPECT_EQ(installed("data/big.pak"), big);
}

TEST_F(FolderSyncTest, FileBecomesFolderBetweenReleases) {
  const GameManifest v1 = release({{"x", small}, {"y/z", "was a folder"}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  const GameManifest v2 = release({{"x/inner", big}, {"y", "now a file"}}, "2.0", 2);
  ASSERT_TRUE(sync(v2)) << error;
  EXPECT_EQ(installed("x/inner"), big);
  EXPECT_EQ(installed("y"), "now a file");
}

// Paths and digests become file names; none may reach outside the folder or
// onto the sync's own files, whoever built the manifest.
TEST_F(FolderSyncTest, UnsafeManifestIsRefusedBeforeAnythingIsWritten) {
  const GameManifest good = release({{"ok.txt", small}}, "1.0", 1);
  struct Case {
    std::vector<std::string> paths;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"../outside.txt"}, "The manifest lists an invalid file: ../outside.txt"},
      {{"a/../../outside.txt"}, "The manifest lists an invalid file: a/../../outside.txt"},
      {{toUtf8(dir / "abs.txt")}, "The manifest lists an invalid file: " + toUtf8(dir / "abs.txt")},
      {{"manifest.json"}, "The manifest lists an invalid file: manifest.json"},
      {{".staging/chunks/x"}, "The manifest lists an invalid file: .staging/chunks/x"},
      {{"a/b", "a//b"}, "The manifest lists an invalid file: a//b"},
      {{"a", "a/b"}, "The manifest lists an invalid file: a/b"},
      {{""}, "The manifest lists an invalid file: "},
  };
  for (const Case& c : cases) {
    GameManifest m = good;
    m.files.clear();
    for (const std::string& p : c.paths) {
      ManifestFile f = good.files[0];
      f.path = p;
      m.files.push_back(f);
    }
    EXPECT_FALSE(sync(m)) << c.paths[0];
    EXPECT_EQ(error, c.expected);
  }
  GameManifest badChunk = good;
  badChunk.files[0].chunks[0] = "../../../../outside";
  EXPECT_FALSE(sync(badChunk));
  EXPECT_EQ(error, "The manifest lists an invalid chunk in ok.txt");
  GameManifest badSize = good;
  badSize.chunkSize = 100;
  EXPECT_FALSE(sync(badSize));
  EXPECT_EQ(error, "The manifest has an invalid chunk size");

  EXPECT_FALSE(fs::exists(dir / "outside.txt"));
  EXPECT_FALSE(fs::exists(dir / "abs.txt"));
  EXPECT_FALSE(fs::exists(game / ".staging"));
}


// A run that stopped after assembly (the game running, a pause, a crash)
// leaves its staged files; a later release whose layout turns one of them
// into a folder, or a folder of them into a file, must not trip over them.
TEST_F(FolderSyncTest, LeftoverStagingNeverBlocksANewLayout) {
  struct Case {
    std::vector<FeedFile> staged;  // left in .staging by a run the game stopped
    std::vector<FeedFile> next;
  };
  const std::vector<Case> cases = {
      {{{"a", small}}, {{"a/b", big}}},
      {{{"a/b", small}, {"a/c/d", "deeper"}}, {{"a", big}}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    game = dir / ("game" + std::to_string(i));
    const GameManifest first = release(cases[i].staged, "1.0", 1);
    {
      GameLock running;
      ASSERT_TRUE(running.acquire(error)) << error;
      ASSERT_FALSE(sync(first));
      ASSERT_EQ(error, "Close the game to finish the update");
    }
    ASSERT_TRUE(fs::exists(game / ".staging/files" / cases[i].staged[0].path)) << i;
    const GameManifest next = release(cases[i].next, "2.0", 2);
    ASSERT_TRUE(sync(next)) << i << ": " << error;
    for (const FeedFile& f : cases[i].next) EXPECT_EQ(installed(f.path), f.content) << i;
    EXPECT_FALSE(fs::exists(game / ".staging")) << i;
  }
}

// An install that stopped half-way (here a file that cannot be replaced; a
// crash does the same) leaves new bytes under the old manifest.json. Rolling
// back to the old release must then check every file, not trust the record,
// and must remove what the stopped install added.
TEST_F(FolderSyncTest, RollbackAfterAnInterruptedInstallLeavesExactlyTheOldRelease) {
  const std::string a1(4000, '1');
  const std::string a2(4000, '2');  // same size: only its digest tells it apart
  const GameManifest v1 = release({{"a.bin", a1}, {"z.bin", "old z"}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  const GameManifest v2 = release({{"a.bin", a2}, {"n.bin", "new in v2"}, {"z.bin", "new z!"}}, "2.0", 2);
  // z.bin cannot be replaced: something of the user's stands in its place.
  fs::remove(game / "z.bin");
  writeFile(game / "z.bin" / "user.txt", "mine");
  ASSERT_FALSE(sync(v2));
  ASSERT_EQ(error, "Couldn't replace z.bin (is it open somewhere?)");
  ASSERT_EQ(installed("a.bin"), a2) << "the install should have got past a.bin";
  ASSERT_EQ(installed("n.bin"), "new in v2");

  fs::remove_all(game / "z.bin");
  LogCapture log;
  ASSERT_TRUE(sync(v1)) << error;  // update mode: no --verify asked for
  EXPECT_EQ(installed("a.bin"), a1);
  EXPECT_EQ(installed("z.bin"), "old z");
  EXPECT_FALSE(fs::exists(game / "n.bin")) << "a file the stopped install added stays behind";
  EXPECT_FALSE(fs::exists(game / ".staging"));
  GameManifest record;
  ASSERT_TRUE(readInstalledManifest(game, record));
  EXPECT_EQ(record.version, "1.0");
  const auto info = log.messages("info");
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info[0], "An earlier update of " + toUtf8(game) + " stopped while installing; checking every file");
}

// A file an interrupted install already moved into place was verified
// chunk by chunk; the next release must find those chunks there (here under
// another name), not fetch them again.
TEST_F(FolderSyncTest, InterruptedInstallStillOffersTheChunksItMovedIntoPlace) {
  const std::string a2 = randomBytes(5 * testChunkSize + 100, 21);
  const GameManifest v1 = release({{"a.bin", big}, {"z.bin", "old z"}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  const GameManifest v2 = release({{"a.bin", a2}, {"z.bin", "new z!"}}, "2.0", 2);
  // z.bin cannot be replaced, so the install stops after moving a.bin.
  fs::remove(game / "z.bin");
  writeFile(game / "z.bin" / "user.txt", "mine");
  ASSERT_FALSE(sync(v2));
  ASSERT_EQ(error, "Couldn't replace z.bin (is it open somewhere?)");
  ASSERT_EQ(installed("a.bin"), a2);
  fs::remove_all(game / "z.bin");

  const GameManifest v3 = release({{"moved/b.bin", a2}, {"z.bin", "new z!"}}, "3.0", 3);
  removeAllObjects();
  ASSERT_TRUE(sync(v3)) << error;
  EXPECT_EQ(report.chunksDownloaded, 0);
  EXPECT_EQ(installed("moved/b.bin"), a2);
  EXPECT_EQ(installed("z.bin"), "new z!");
  EXPECT_FALSE(fs::exists(game / "a.bin")) << "a file of the interrupted install that v3 drops stays behind";
  EXPECT_FALSE(fs::exists(game / ".staging"));
}

// On a case-insensitive file system "Data/Map.bin" and "data/map.bin" are one
// file: deleting the old name after installing the new one would delete the
// new file. A folder reached under two names makes the same trap here.
TEST_F(FolderSyncTest, RemovalNamingANewFileUnderAnotherNameKeepsIt) {
  VANTOR_LINUX_ONLY("symbolic links a test makes (wine's CreateSymbolicLinkW makes none)");
  fs::create_directories(game / "data");
  fs::create_directory_symlink("data", game / "Data");
  const GameManifest v1 = release({{"Data/Map.bin", big}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  const std::string changed = big + "v2";
  const GameManifest v2 = release({{"data/Map.bin", changed}}, "2.0", 2);
  ASSERT_TRUE(sync(v2)) << error;
  EXPECT_EQ(installed("data/Map.bin"), changed) << "the removal of the old name deleted the new file";
  EXPECT_EQ(report.filesRemoved, 0);
}

TEST_F(FolderSyncTest, CaseOnlyRenameOnVfatKeepsTheNewFile) {
  testing::ScopedVfat disk(dir / "vfat", 16ull << 20);
  if (!disk.mounted()) GTEST_SKIP() << disk.skipReason();
  game = disk.path() / "game";
  const GameManifest v1 = release({{"Data/Map.bin", big}, {"keep.txt", small}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  const std::string changed = big + "v2";
  const GameManifest v2 = release({{"data/map.bin", changed}, {"keep.txt", small}}, "2.0", 2);
  ASSERT_TRUE(sync(v2)) << error;
  EXPECT_EQ(installed("data/map.bin"), changed) << "the removal of the old name deleted the new file";
  EXPECT_EQ(report.filesRemoved, 0);
}

TEST_F(FolderSyncTest, SecondSyncOfTheSameFolderIsRefusedAtOnce) {
  testing::TestHttpServer server;
  GameManifest v1 = release({{"data/big.pak", big}, {"small.txt", small}}, "1.0", 1);
  serveObjects(server, v1);
  for (const ManifestFile& f : v1.files) {
    for (const std::string& h : f.chunks) {
      testing::TestResponse held;
      held.body = readFile(objectFile(h));
      held.hold = true;
      server.serve(objectPath(h), held);
    }
  }
  bool firstOk = false;
  std::string firstError;
  std::thread first([&] {
    std::atomic<bool> never{false};
    firstOk = syncFolder(game, v1, false, never, {}, firstError);
  });
  // The first run holds the folder once it is fetching.
  for (int i = 0; i < 3000 && server.heldCount() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_GT(server.heldCount(), 0) << "the first sync never reached its download";
  EXPECT_FALSE(sync(v1));
  EXPECT_EQ(error, "Another update of this folder is running");
  server.releaseHeld();
  first.join();
  EXPECT_TRUE(firstOk) << firstError;
  EXPECT_EQ(installed("data/big.pak"), big);
  // Once the first has ended the folder is free again.
  ASSERT_TRUE(sync(v1)) << error;
}

// Every place the sync starts threads (file check, download workers,
// assembly) must turn a refused thread into a failure with a text, never a
// termination, and leave installed files untouched.
TEST_F(FolderSyncTest, RefusedThreadFailsTheSyncWithAText) {
  const GameManifest v1 = release({{"data/big.pak", big}, {"small.txt", small}}, "1.0", 1);
  ASSERT_TRUE(sync(v1)) << error;
  std::string changedBig = big;
  changedBig[1] ^= 1;
  const GameManifest v2 = release({{"data/big.pak", changedBig}, {"small.txt", small + "?"}}, "2.0", 2);
  // With --verify the sync starts 2 hashing threads, 4 download workers, then
  // 2 assembly threads (objects this small need no writer thread).
  for (int skip = 0; skip < 8; ++skip) {
    // Each round starts from nothing staged, so every round starts the same threads.
    fs::remove_all(game / ".staging");
    failThreadStartsForTesting(skip, 1);
    EXPECT_FALSE(sync(v2, /*verify=*/true)) << skip;
    failThreadStartsForTesting(0, 0);
    EXPECT_EQ(error.rfind("The system refused to start a thread", 0), 0u) << skip << ": " << error;
    EXPECT_EQ(installed("data/big.pak"), big) << skip;
    EXPECT_EQ(installed("small.txt"), small) << skip;
  }
  ASSERT_TRUE(sync(v2, true)) << error;
  EXPECT_EQ(installed("data/big.pak"), changedBig);
}

// A whole-file object can be gigabytes; hashing one must still answer a
// cancel within a block, not after the whole object.
TEST_F(FolderSyncTest, CancelWhileHashingALargeStagedObjectStopsPromptly) {
  VANTOR_LINUX_ONLY("a sparse file of 512 GiB (wine refuses the size)");
  GameManifest m;
  m.version = "1.0";
  m.objects = "objects/";
  m.source = toUtf8(feed / "manifest.json");
  ManifestFile huge;
  huge.path = "huge.bin";
  huge.size = 512ull << 30;  // sparse: costs no disk, yet takes minutes to hash
  huge.sha256 = std::string(64, 'a');
  m.files.push_back(huge);
  const fs::path staged = game / ".staging/files/huge.bin";
  fs::create_directories(staged.parent_path());
  { std::ofstream(staged, std::ios::binary); }
  fs::resize_file(staged, huge.size);

  std::chrono::steady_clock::time_point cancelledAt;
  std::thread canceller([&] {
    // Cancel once the sync is reading the object: its descriptor has moved.
    for (int i = 0; i < 6000 && !cancel.load(); ++i) {
      std::error_code ec;
      for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
        if (fs::read_symlink(fd.path(), ec) != staged) continue;
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        std::string key;
        uint64_t pos = 0;
        if (info >> key >> pos && key == "pos:" && pos > 0 && !cancel.load()) {
          cancelledAt = std::chrono::steady_clock::now();
          cancel = true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  EXPECT_FALSE(sync(m));
  const auto end = std::chrono::steady_clock::now();
  canceller.join();
  ASSERT_TRUE(cancel.load()) << "the object was never read";
  EXPECT_EQ(error, "Cancelled");
  // Far above any stall of a loaded machine, far below the minutes the whole
  // object takes.
  EXPECT_LT(std::chrono::duration<double>(end - cancelledAt).count(), 20.0) << "hashing went on after the cancel";
}

TEST(ReadRange, ReadsExactlyTheRangeOrFails) {
  TempDir dir;
  writeFile(dir / "f", "0123456789");
  std::string out;
  EXPECT_TRUE(readRange(dir / "f", 3, 4, out));
  EXPECT_EQ(out, "3456");
  EXPECT_TRUE(readRange(dir / "f", 10, 0, out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(readRange(dir / "f", 8, 4, out));
  EXPECT_FALSE(readRange(dir / "missing", 0, 1, out));
}

}  // namespace
}  // namespace launcher
