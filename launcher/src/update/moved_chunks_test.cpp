#include "update/moved_chunks.h"

#include "testing/temp_dir.h"
#include "update/location.h"
#include "update/sha256.h"
#include "update/sync_install.h"
#include "update/weak_checksum.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

constexpr uint64_t chunk = 4096;

std::string randomBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

const std::string base = randomBytes(64 * chunk + 1000, 1);    // an archive of 65 chunks
const std::string large = randomBytes(100 * chunk + 123, 2);   // another, larger one
const std::string fresh = randomBytes(3 * chunk, 3);          // bytes no local file has

using Files = std::vector<std::pair<std::string, std::string>>;

// A search as a sync would set it up: the old files on disk, and as wanted
// every chunk of the new files whose digest no old file has at a chunk
// boundary (what an update would otherwise download), each digest once.
struct SearchSetup {
  TempDir dir;
  MovedSearch search;
  Files next;
  std::map<size_t, std::string> foundBytes;  // by wanted chunk
  std::vector<std::string> problems;

  SearchSetup(const Files& local, const Files& nextFiles) : next(nextFiles) {
    std::set<std::string> have;
    for (const auto& [path, content] : local) {
      writeFile(dir / path, content);
      for (uint64_t at = 0; at < content.size(); at += chunk) have.insert(sha256Hex(content.substr(at, chunk)));
    }
    search.chunkSize = chunk;
    std::set<std::string> listed;
    for (const auto& [path, content] : next) {
      listed.insert(path);
      bool wantedFile = false;
      for (uint64_t at = 0; at < content.size(); at += chunk) {
        const std::string bytes = content.substr(at, chunk);
        const std::string hash = sha256Hex(bytes);
        if (!have.insert(hash).second) continue;
        if (!wantedFile) {
          search.files.push_back({manifestPathKey(path), content.size()});
          wantedFile = true;
        }
        search.chunks.push_back({hash, bytes.size(), weakChecksum(bytes.data(), bytes.size()),
                                 search.files.size() - 1, at});
      }
    }
    // Old versions first, as the sync lists them.
    for (int pass = 0; pass < 2; ++pass) {
      for (const auto& [path, content] : local) {
        if (listed.count(path) != (pass == 0 ? 1u : 0u)) continue;
        search.local.push_back({dir / path, manifestPathKey(path), content.size(), listed.count(path) == 0});
      }
    }
    search.found = [this](size_t c, const ChunkPieces& bytes, const LocalFile& from, uint64_t offset) {
      std::string joined;
      for (const auto& [p, n] : bytes) joined.append(reinterpret_cast<const char*>(p), n);
      if (sha256Hex(joined) != search.chunks[c].hash) problems.push_back("bytes that are not the chunk");
      if (testing::readFile(from.path).substr(offset, joined.size()) != joined) {
        problems.push_back("bytes that are not at the offset given");
      }
      if (!foundBytes.emplace(c, joined).second) problems.push_back("a chunk found twice");
      return true;
    };
  }

  size_t missing() const { return search.chunks.size() - foundBytes.size(); }
};

struct Scenario {
  const char* name;
  Files local;
  Files next;
  size_t wanted;   // chunks an update would download without the search
  size_t missing;  // of them, not found anywhere locally
};

// The edits patches make, each on an archive of 65 chunks: what the search
// leaves to download is the chunk that holds the edit, and nothing else.
TEST(FindMovedChunks, LeavesOnlyTheEditedChunksOfEachKindOfEdit) {
  const Scenario scenarios[] = {
      {"ten bytes inserted", {{"a.pak", base}},
       {{"a.pak", base.substr(0, 10000) + "0123456789" + base.substr(10000)}}, 63, 1},
      {"a thousand bytes deleted", {{"a.pak", base}},
       {{"a.pak", base.substr(0, 5 * chunk + 100) + base.substr(5 * chunk + 1100)}}, 59, 1},
      {"copied to a new name with a byte in front", {{"a.pak", base}},
       {{"a.pak", base}, {"b.pak", "x" + base}}, 65, 1},
      {"moved to another path with a header", {{"a.pak", base}}, {{"sub/b.pak", "HDR" + base}}, 65, 1},
      {"a stretch moved into a new file", {{"a.pak", base}, {"big.pak", large}},
       {{"a.pak", base}, {"new.dat", fresh.substr(0, 2 * chunk) + large.substr(33333, 20 * chunk) + "end"}}, 23,
       3},
      {"a chunk overwritten in place", {{"a.pak", base}},
       {{"a.pak", base.substr(0, 7 * chunk) + fresh.substr(0, chunk) + base.substr(8 * chunk)}}, 1, 1},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    SearchSetup setup(s.local, s.next);
    ASSERT_EQ(setup.search.chunks.size(), s.wanted);
    MovedSearchStats stats;
    ASSERT_TRUE(findMovedChunks(setup.search, nullptr, stats));
    EXPECT_EQ(setup.missing(), s.missing);
    EXPECT_TRUE(setup.problems.empty()) << setup.problems.front();
    EXPECT_EQ(stats.found, setup.foundBytes.size());
    EXPECT_EQ(stats.falseMatches, 0u);
    EXPECT_LE(stats.bytesRead + stats.bytesRefused, stats.budget);
  }
}

TEST(FindMovedChunks, ContentReplacedInPlaceCostsOneLook) {
  SearchSetup setup({{"a.pak", base}},
              {{"a.pak", base.substr(0, 7 * chunk) + fresh.substr(0, chunk) + base.substr(8 * chunk)}});
  MovedSearchStats stats;
  ASSERT_TRUE(findMovedChunks(setup.search, nullptr, stats));
  EXPECT_EQ(stats.found, 0u);
  // One window around the chunk's own place: a file that kept its size is
  // not rolled whole for a chunk replaced in place.
  EXPECT_LE(stats.bytesRead, 2 * chunk);
}

// A wanted chunk whose weak checksum equals that of local bytes with
// another SHA-256 (a collision, or a manifest made to trip the search): the
// bytes are never handed on, and the search gives up on that value after a
// few refusals instead of hashing at every place it recurs.
TEST(FindMovedChunks, WeakMatchesThatSha256RefusesAreNeverTaken) {
  const std::string zeros(40 * chunk, '\0');
  struct Case {
    const char* name;
    std::string local;
    uint64_t lookalikeAt;  // where the local bytes whose weak value is given lie
  };
  const Case cases[] = {{"random data", base, 777}, {"a run of equal windows", zeros + base, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A second new file gives the search budget enough to meet the
    // lookalike more than once.
    SearchSetup setup({{"a.pak", c.local}}, {{"b.pak", fresh.substr(0, chunk)}, {"c.pak", randomBytes(30 * chunk, 4)}});
    ASSERT_EQ(setup.search.chunks.size(), 31u);
    setup.search.chunks[0].weak = weakChecksum(c.local.data() + c.lookalikeAt, chunk);
    MovedSearchStats stats;
    ASSERT_TRUE(findMovedChunks(setup.search, nullptr, stats));
    EXPECT_EQ(setup.foundBytes.size(), 0u);
    EXPECT_EQ(stats.weakMatches, stats.falseMatches);
    EXPECT_EQ(stats.falseMatches, c.lookalikeAt == 0 ? 4u : 1u);
    // Reads stay within the budget; the refused candidates cost at most a
    // few passes over the chunk.
    EXPECT_LE(stats.bytesRead, stats.budget);
    EXPECT_LE(stats.bytesRefused, 4 * 2 * chunk);
  }
}

TEST(FindMovedChunks, StopsAtItsBudgetAndLeavesTheRestToTheDownload) {
  // One wanted chunk at a new path, of a size no local file is near: only a
  // roll of the large file can find it, and the budget is two chunks.
  struct Case {
    const char* name;
    uint64_t at;
    size_t missing;
  };
  const Case cases[] = {{"within the budget", 50, 0}, {"beyond the budget", 99 * chunk - 50, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SearchSetup setup({{"big.pak", large}}, {{"n.dat", large.substr(c.at, chunk)}});
    ASSERT_EQ(setup.search.chunks.size(), 1u);
    MovedSearchStats stats;
    ASSERT_TRUE(findMovedChunks(setup.search, nullptr, stats));
    EXPECT_EQ(stats.budget, movedSearchBudgetFactor * chunk);
    EXPECT_EQ(setup.missing(), c.missing);
    EXPECT_LE(stats.bytesRead, stats.budget);
  }
}

TEST(FindMovedChunks, CancelAndARefusingCallerStopTheSearch) {
  SearchSetup setup({{"a.pak", base}}, {{"a.pak", "0123456789" + base}});
  std::atomic<bool> cancel{true};
  MovedSearchStats stats;
  EXPECT_FALSE(findMovedChunks(setup.search, &cancel, stats));
  EXPECT_EQ(stats.found, 0u);

  SearchSetup refusing({{"a.pak", base}}, {{"a.pak", "0123456789" + base}});
  int calls = 0;
  refusing.search.found = [&](size_t, const ChunkPieces&, const LocalFile&, uint64_t) {
    ++calls;
    return false;
  };
  EXPECT_FALSE(findMovedChunks(refusing.search, nullptr, stats));
  EXPECT_EQ(calls, 1);
}

TEST(FindMovedChunks, UnreadableAndVanishedLocalFilesAreSkipped) {
  SearchSetup setup({{"a.pak", base}, {"b.pak", large}}, {{"c.pak", "x" + large}});
  fs::remove(setup.dir / "b.pak");  // listed, gone by the time of the search
  MovedSearchStats stats;
  EXPECT_TRUE(findMovedChunks(setup.search, nullptr, stats));
  EXPECT_EQ(stats.found, 0u);
}

}  // namespace
}  // namespace launcher
