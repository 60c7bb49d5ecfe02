// The folder sync with moved content: chunks found at other offsets of the
// installed files are taken from there, confirmed by SHA-256, instead of
// being downloaded; nothing else about the sync changes.
#include "update/folder_sync.h"

#include "testing/log_capture.h"
#include "testing/temp_dir.h"
#include "update/location.h"
#include "update/moved_sync.h"
#include "update/sha256.h"
#include "update/weak_checksum.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <random>
#include <set>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr uint64_t chunk = 65536;

std::string randomBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

const std::string archive = randomBytes(40 * chunk + 5000, 1);  // 41 chunks
const std::string other = randomBytes(12 * chunk + 77, 2);

using Files = std::vector<std::pair<std::string, std::string>>;

// A local feed; manifests made here, with weak checksums unless told not to.
class MovedSyncTest : public ::testing::Test {
 protected:
  enum class Weak { Give, Omit, OtherKind };

  GameManifest release(const Files& files, const std::string& version, int32_t build, Weak weak = Weak::Give) {
    GameManifest m;
    m.version = version;
    m.build = build;
    m.chunkSize = chunk;
    m.objects = "objects/";
    m.source = toUtf8(feed / "manifest.json");
    if (weak != Weak::Omit) m.weakKind = weak == Weak::Give ? weakChecksumKind : "sum64";
    for (const auto& [path, content] : files) {
      ManifestFile f;
      f.path = path;
      f.size = content.size();
      f.sha256 = sha256Hex(content);
      for (uint64_t at = 0; at < content.size() || at == 0; at += chunk) {
        const std::string bytes = content.substr(at, chunk);
        f.chunks.push_back(sha256Hex(bytes));
        if (weak == Weak::Give) f.weak.push_back(weakChecksum(bytes.data(), bytes.size()));
        writeFile(feed / "objects" / f.chunks.back().substr(0, 2) / f.chunks.back(), bytes);
        if (content.empty()) break;
      }
      m.files.push_back(std::move(f));
    }
    return m;
  }

  bool sync(const GameManifest& m) {
    error.clear();
    return syncFolder(game, m, false, cancel, onProgress, error, report);
  }
  void expectInstalled(const Files& files) {
    for (const auto& [path, content] : files) EXPECT_TRUE(readFile(game / path) == content) << path;
  }
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

struct Edit {
  const char* name;
  Files before;
  Files after;
  int32_t downloads;  // with weak checksums
  int32_t moved;
};

// Each edit costs the chunk that holds it; the rest is taken from the old
// bytes at their new offsets, and the files end exactly as released.
TEST_F(MovedSyncTest, EachEditDownloadsOnlyTheChunkThatHoldsIt) {
  const Edit edits[] = {
      {"ten bytes inserted", {{"a.pak", archive}},
       {{"a.pak", archive.substr(0, chunk + 10) + "0123456789" + archive.substr(chunk + 10)}}, 1, 39},
      {"four KiB deleted", {{"a.pak", archive}},
       {{"a.pak", archive.substr(0, 5 * chunk) + archive.substr(5 * chunk + 4096)}}, 0, 36},
      {"copied to a new name with a byte in front", {{"a.pak", archive}},
       {{"a.pak", archive}, {"b.pak", "x" + archive}}, 1, 40},
      {"moved to another path with a header", {{"a.pak", archive}, {"o.bin", other}},
       {{"data/b.pak", "HDR" + archive}, {"o.bin", other}}, 1, 40},
  };
  for (const Edit& e : edits) {
    SCOPED_TRACE(e.name);
    fs::remove_all(game);
    fs::remove_all(feed);
    ASSERT_TRUE(sync(release(e.before, "1.0", 1))) << error;
    LogCapture log;
    const GameManifest v2 = release(e.after, "2.0", 2);
    EXPECT_EQ(estimateDownloadReusing(game, v2, nullptr), static_cast<uint64_t>(e.downloads) * chunk);
    ASSERT_TRUE(sync(v2)) << error;
    expectInstalled(e.after);
    EXPECT_EQ(report.chunksDownloaded, e.downloads);
    EXPECT_EQ(report.chunksFoundMoved, e.moved);
    EXPECT_FALSE(fs::exists(game / ".staging"));
    // The cost said before the download counts what was found moved.
    const std::string toDownload = fmt::format("{:.1f} MB to download", e.downloads * chunk / 1e6);
    bool said = false;
    for (const std::string& line : log.messages("info")) said |= line.find(toDownload) != std::string::npos;
    EXPECT_TRUE(said) << "no line says \"" << toDownload << "\"";
  }
}

// The manifest says a chunk's weak checksum is that of bytes the old file
// has, but its SHA-256 is another: the chunk is fetched, never taken. (New
// bytes beside it give the search budget enough to roll the old file whole.)
TEST_F(MovedSyncTest, WeakMatchWithAnotherSha256IsFetchedNotTaken) {
  ASSERT_TRUE(sync(release({{"a.pak", archive}}, "1.0", 1))) << error;
  const Files after = {{"n.pak", randomBytes(chunk, 5) + archive.substr(100, 20 * chunk)},
                       {"z.bin", randomBytes(10 * chunk, 6)}};
  GameManifest v2 = release(after, "2.0", 2);
  v2.files[0].weak[0] = weakChecksum(archive.data() + 3 * chunk + 17, chunk);
  ASSERT_TRUE(sync(v2)) << error;
  expectInstalled(after);
  EXPECT_EQ(report.chunksDownloaded, 11);
  EXPECT_EQ(report.chunksFoundMoved, 20);
}

// Without weak checksums, or with a kind this launcher does not read, the
// sync does what it always did: the shifted chunks are all downloaded.
TEST_F(MovedSyncTest, ManifestWithoutUsableWeakChecksumsSyncsAsBefore) {
  const Files after = {{"a.pak", "0123456789" + archive}};
  for (Weak weak : {Weak::Omit, Weak::OtherKind}) {
    fs::remove_all(game);
    fs::remove_all(feed);
    ASSERT_TRUE(sync(release({{"a.pak", archive}}, "1.0", 1))) << error;
    const GameManifest v2 = release(after, "2.0", 2, weak);
    EXPECT_EQ(estimateDownloadReusing(game, v2, nullptr), estimateDownload(game, v2));
    ASSERT_TRUE(sync(v2)) << error;
    expectInstalled(after);
    EXPECT_EQ(report.chunksDownloaded, 41);
    EXPECT_EQ(report.chunksFoundMoved, 0);
  }
}

// A stop while found chunks are being written keeps every chunk that lies
// verified in the staged files; the next run takes those as they are and
// searches only for the rest.
TEST_F(MovedSyncTest, StopDuringTheMovedCopyLosesNothingVerified) {
  ASSERT_TRUE(sync(release({{"a.pak", archive}}, "1.0", 1))) << error;
  const Files after = {{"a.pak", "0123456789" + archive}};
  const GameManifest v2 = release(after, "2.0", 2);
  onProgress = [&](const Progress& p) {
    if (p.phase == "Searching" && p.filesDone >= 5) cancel = true;
  };
  ASSERT_FALSE(sync(v2));
  EXPECT_EQ(error, "Cancelled");
  EXPECT_TRUE(readFile(game / "a.pak") == archive) << "installed files changed before everything was verified";
  const size_t placed = stagedVerified(v2).size();
  EXPECT_GE(placed, 5u);
  EXPECT_LT(placed, 40u);

  cancel = false;
  onProgress = nullptr;
  ASSERT_TRUE(sync(v2)) << error;
  expectInstalled(after);
  EXPECT_EQ(report.chunksDownloaded, 1);
  EXPECT_EQ(static_cast<size_t>(report.chunksFoundMoved), 40 - placed);
}

// The search reports its own phase with the bytes it may read; found chunks
// count as it goes.
TEST_F(MovedSyncTest, SearchReportsItsPhase) {
  ASSERT_TRUE(sync(release({{"a.pak", archive}}, "1.0", 1))) << error;
  std::vector<std::string> phases;
  int32_t foundSeen = 0;
  onProgress = [&](const Progress& p) {
    if (phases.empty() || phases.back() != p.phase) phases.push_back(p.phase);
    if (p.phase == "Searching") foundSeen = std::max(foundSeen, p.filesDone);
  };
  ASSERT_TRUE(sync(release({{"a.pak", "0123456789" + archive}}, "2.0", 2))) << error;
  const std::vector<std::string> expected = {"Comparing", "Searching", "Downloading", "Assembling", "Installing"};
  EXPECT_EQ(phases, expected);
  EXPECT_EQ(foundSeen, 40);
}

}  // namespace
}  // namespace launcher
