// The sync killed outright (SIGKILL: no handler runs, nothing is flushed)
// part-way through an install's transfer and at random moments of installs
// and updates, then run again: the folder must end exactly as the release
// says, and the rerun must not fetch again any object that lay verified in
// the staging area at the moment of the kill.
//
// VANTOR_CRASH_TRIALS sets the number of trials (default 6), VANTOR_CRASH_SEED
// repeats a run (the seed is printed).
#include "testing/child_process.h"
#include "testing/nginx_server.h"
#include "testing/release_feed.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::ChildProcess;
using testing::NginxServer;
using testing::ProcessResult;
using testing::PublishedRelease;

constexpr uint64_t chunk = 128 * 1024;
constexpr uint64_t mib = 1024 * 1024;

uint64_t envNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return end && *end == '\0' ? value : fallback;
}

// About 24 MiB: two big archives, medium and small files, an empty one.
void writeV1(const fs::path& root) {
  testing::writeRandomFile(root / "paks/base.pak", 8 * mib + 4321, 1);
  testing::writeRandomFile(root / "paks/hd.pak", 6 * mib, 2);
  for (int i = 0; i < 10; ++i) {
    testing::writeRandomFile(root / ("maps/map" + std::to_string(i) + ".bin"), 700 * 1024 + 313 * i, 10 + i);
  }
  for (int i = 0; i < 40; ++i) {
    testing::writeRandomFile(root / ("ui/icons/i" + std::to_string(i) + ".dat"), 20 * 1024 + 1001 * i, 100 + i);
  }
  testing::writeFile(root / "ui/empty.cfg", "");
}

// A patch: 40 chunks rewritten across both archives and two maps, one file
// renamed, two deleted, two added.
void makeV2(const fs::path& root) {
  for (int i = 0; i < 20; ++i) testing::overwriteRandom(root / "paks/base.pak", (3 * i) * chunk, chunk, 500 + i);
  for (int i = 0; i < 14; ++i) testing::overwriteRandom(root / "paks/hd.pak", (2 * i + 1) * chunk, chunk, 600 + i);
  for (int i = 0; i < 3; ++i) {
    testing::overwriteRandom(root / "maps/map1.bin", i * chunk, chunk, 700 + i);
    testing::overwriteRandom(root / "maps/map2.bin", i * chunk, chunk, 800 + i);
  }
  fs::rename(root / "maps/map3.bin", root / "maps/map3_v2.bin");
  fs::remove(root / "ui/icons/i7.dat");
  fs::remove(root / "maps/map9.bin");
  testing::writeRandomFile(root / "maps/map10.bin", 900 * 1024, 900);
  testing::writeRandomFile(root / "ui/icons/new.dat", 33 * 1024, 901);
}

class SyncCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::available()) {
      GTEST_SKIP() << "nginx is not installed at " << NginxServer::binary() << " (scripts/setup.sh installs it)";
    }
  }

  std::vector<std::string> syncCommand(const fs::path& folder, const PublishedRelease& r) const {
    return {VANTOR_LAUNCHER_EXE, "--sync", folder.string(), server_->url("/" + r.manifestPath)};
  }

  // One full, unkilled sync; its wall time in ms.
  double runClean(const fs::path& folder, const PublishedRelease& r) {
    const auto start = Clock::now();
    ProcessResult result = testing::runProcess(syncCommand(folder, r), 120000);
    EXPECT_EQ(result.exitCode, 0) << testing::describe(result);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }

  // When a kill is sent: `delayMs` after the start, or once `afterObjects`
  // objects have been served (when non-zero).
  struct KillPoint {
    int delayMs = 0;
    size_t afterObjects = 0;
  };

  struct KillOutcome {
    bool killed = false;        // it was still running at the kill
    size_t stagedVerified = 0;  // objects staged and verified at the kill
    size_t stagedBytes = 0;     // their bytes
    size_t refetched = 0;       // objects the rerun fetched at all
    // Decided from what the kill left, not from when it was sent: objects of
    // some bytes had arrived and others were still missing.
    [[nodiscard]] bool inTransfer() const { return killed && stagedBytes > 0 && refetched > 0; }
  };

  // Starts a sync of `folder` to `r`, kills it at `point`, reruns it to the
  // end and checks the folder and what the rerun fetched.
  KillOutcome killAndResume(const fs::path& folder, const PublishedRelease& r, KillPoint point,
                            const std::string& label) {
    KillOutcome outcome;
    server_->clearAccessLog();
    {
      ChildProcess sync(syncCommand(folder, r));
      EXPECT_TRUE(sync.started()) << sync.error();
      if (point.afterObjects > 0) {
        const auto deadline = Clock::now() + std::chrono::seconds(120);
        while (sync.running() && testing::objectRequests(server_->accessLog()).size() < point.afterObjects) {
          if (Clock::now() > deadline) {
            ADD_FAILURE() << label << ": fewer than " << point.afterObjects << " objects served in 120 s";
            break;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      } else {
        const auto killAt = Clock::now() + std::chrono::milliseconds(point.delayMs);
        while (Clock::now() < killAt && sync.running()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      // The sync may end between any look at it and the kill, so the kill is
      // sent regardless and the exit code says which came first: a kill that
      // lands after the end finds a finished run, which is not a failure.
      sync.sendSignal(testing::Signal::Kill);
      const int code = sync.wait(30000);
      outcome.killed = code == 137;
      EXPECT_TRUE(code == 137 || code == 0) << label << ": exit " << code << "\n" << sync.out() << sync.err();
    }
    const std::set<std::string> staged = testing::verifiedStagedChunks(folder, r);
    const std::map<std::string, uint64_t> sizes = r.objects();
    outcome.stagedVerified = staged.size();
    for (const auto& hash : staged) {
      auto it = sizes.find(hash);
      if (it != sizes.end()) outcome.stagedBytes += it->second;
    }

    server_->clearAccessLog();
    ProcessResult rerun = testing::runProcess(syncCommand(folder, r), 120000);
    EXPECT_EQ(rerun.exitCode, 0) << label << "\n" << testing::describe(rerun);
    EXPECT_TRUE(server_->waitIdle());
    const auto fetched = testing::objectRequests(server_->accessLog());
    outcome.refetched = fetched.size();
    for (const auto& hash : fetched) {
      EXPECT_EQ(staged.count(hash), 0u) << label << ": staged and verified at the kill, fetched again: " << hash;
    }
    std::string why;
    EXPECT_TRUE(testing::folderMatchesRelease(folder, r, why)) << label << ":\n" << why;
    return outcome;
  }

  static std::string describeKill(const KillOutcome& o) {
    return std::string(o.killed ? "" : "(had ended) ") + "staged " + std::to_string(o.stagedVerified) +
           ", rerun fetched " + std::to_string(o.refetched);
  }

  testing::TempDir dir_;
  std::unique_ptr<NginxServer> server_;
};

TEST_F(SyncCrashTest, KilledSyncResumesToExactRelease) {
  const uint64_t trials = envNumber("VANTOR_CRASH_TRIALS", 6);
  const uint64_t seed = envNumber("VANTOR_CRASH_SEED", std::random_device{}());
  std::cout << "crash test: " << trials << " trials, seed " << seed << " (VANTOR_CRASH_SEED=" << seed
            << " repeats it)" << std::endl;
  RecordProperty("seed", std::to_string(seed));
  std::mt19937_64 rng(seed);

  const fs::path content = dir_ / "content";
  const fs::path feed = dir_ / "feed";
  PublishedRelease v1, v2;
  std::string error;
  ASSERT_NO_FATAL_FAILURE(writeV1(content));
  ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, content, feed, "1.0.0", 1, chunk, v1, error)) << error;
  ASSERT_NO_FATAL_FAILURE(makeV2(content));
  ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, content, feed, "1.1.0", 2, chunk, v2, error)) << error;

  // About 200 objects at 70 a second: an install takes about three seconds,
  // so a kill lands in the transfer most of the time and in the other phases too.
  testing::NginxOptions paced;
  paced.requestsPerSecond = 70;
  server_ = std::make_unique<NginxServer>(feed, paced);
  ASSERT_TRUE(server_->started()) << server_->error();

  // How long each kind of run takes here, to spread the kills over it.
  const fs::path probe = dir_ / "probe";
  const double installMs = runClean(probe, v1);
  const double updateMs = runClean(probe, v2);
  ASSERT_FALSE(HasFailure());
  std::cout << "clean install " << installMs << " ms, clean update " << updateMs << " ms" << std::endl;

  // The first install is killed once a quarter of its objects went out: the
  // server paces the rest over seconds, so the kill lands in the transfer
  // and tests the resume from a half-fetched staging area whatever the random
  // kills below hit. Whether it did is read from what it left; should the
  // rest have arrived first all the same, the attempt is made again.
  const size_t quarter = v1.objects().size() / 4;
  bool transferKilled = false;
  fs::path firstFolder;
  for (int attempt = 1; attempt <= 3 && !transferKilled && !HasFailure(); ++attempt) {
    firstFolder = dir_ / ("game0-" + std::to_string(attempt));
    const KillOutcome o = killAndResume(firstFolder, v1, KillPoint{0, quarter},
                                        "install killed after " + std::to_string(quarter) + " objects (attempt " +
                                            std::to_string(attempt) + ")");
    transferKilled = o.inTransfer();
    std::cout << "install kill after " << quarter << " objects: " << describeKill(o) << std::endl;
  }
  EXPECT_TRUE(transferKilled) << "no kill after a quarter of the objects landed in the transfer";

  size_t killedInTransfer = transferKilled ? 1 : 0;
  for (uint64_t trial = 0; trial < trials && !HasFailure(); ++trial) {
    const fs::path folder = trial == 0 ? firstFolder : dir_ / ("game" + std::to_string(trial));
    const int installKill = static_cast<int>(std::uniform_real_distribution<double>(0.0, 1.1)(rng) * installMs);
    const int updateKill = static_cast<int>(std::uniform_real_distribution<double>(0.0, 1.1)(rng) * updateMs);
    const std::string tag = "trial " + std::to_string(trial) + " (seed " + std::to_string(seed) + ")";

    // The first trial's folder already holds v1 from the kill above.
    KillOutcome install;
    if (trial > 0) {
      install = killAndResume(folder, v1, KillPoint{installKill, 0},
                              tag + ", install killed at " + std::to_string(installKill) + " ms");
    }
    const KillOutcome update = killAndResume(folder, v2, KillPoint{updateKill, 0},
                                             tag + ", update killed at " + std::to_string(updateKill) + " ms");
    killedInTransfer += (install.inTransfer() ? 1 : 0) + (update.inTransfer() ? 1 : 0);
    std::cout << tag << ": ";
    if (trial > 0) std::cout << "install kill at " << installKill << " ms " << describeKill(install) << "; ";
    std::cout << "update kill at " << updateKill << " ms " << describeKill(update) << std::endl;
  }
  std::cout << killedInTransfer << " kills landed in a transfer" << std::endl;
}

// How many of `chunks` (offset, size) of the staged file already end in the
// bytes `expected` has there. The staged file starts zeroed and a chunk is
// written front to back, so a chunk's last bytes in place mean it was
// written whole; random data never ends in zeros.
size_t chunksWrittenThrough(const fs::path& staged, const std::string& expected,
                            const std::vector<std::pair<uint64_t, uint64_t>>& chunks) {
  std::ifstream in(staged, std::ios::binary);
  if (!in) return 0;
  size_t written = 0;
  std::string tail;
  for (const auto& [offset, size] : chunks) {
    const uint64_t n = std::min<uint64_t>(size, 32);
    tail.assign(n, '\0');
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset + size - n));
    if (!in.read(tail.data(), static_cast<std::streamsize>(n))) continue;
    written += expected.compare(offset + size - n, n, tail) == 0 ? 1 : 0;
  }
  return written;
}

// The moved-content path: ten bytes inserted near the start of a 48 MiB
// archive published by the release tool, so that 47 of its 1 MiB chunks
// are found at a new offset of the installed file and copied into the
// staged file. The sync is killed while it copies them (once a random number
// of them lies in the staged file), then run again: it must take what lay
// verified in the staged file as it is, look again only for the rest, fetch
// nothing but the one chunk that holds the edit, and leave the folder
// exactly as released.
TEST_F(SyncCrashTest, KilledDuringTheMovedChunkCopyResumesWithoutLosingAny) {
  const uint64_t seed = envNumber("VANTOR_CRASH_SEED", std::random_device{}());
  std::cout << "moved-copy crash test: seed " << seed << std::endl;
  std::mt19937_64 rng(seed);
  const fs::path content = dir_ / "content";
  const fs::path feed = dir_ / "feed";
  const fs::path pak = content / "paks" / "world.pak";
  PublishedRelease v1, v2;
  std::string error;
  testing::writeRandomFile(pak, 48 * mib, 7);
  testing::writeFile(content / "readme.txt", "v1");
  ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, content, feed, "1.0.0", 1, mib, v1, error)) << error;
  std::string pakV2 = testing::readFile(pak);
  pakV2.insert(mib + 5, "0123456789");
  testing::writeFile(pak, pakV2);
  testing::writeFile(content / "readme.txt", "v2");
  ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, content, feed, "1.1.0", 2, mib, v2, error)) << error;
  server_ = std::make_unique<NginxServer>(feed);
  ASSERT_TRUE(server_->started()) << server_->error();

  const fs::path base = dir_ / "base";
  runClean(base, v1);
  ASSERT_FALSE(HasFailure());
  // What a whole update does here: the readme and the edited chunk fetched,
  // everything else of the archive found moved.
  std::map<std::string, uint64_t> fresh;
  for (const auto& [hash, size] : v2.objects()) {
    if (!v1.objects().count(hash)) fresh.emplace(hash, size);
  }
  // 48 archive chunks (ten bytes longer, so the last is short) and the readme;
  // all but the readme and the chunk with the edit can be found moved.
  ASSERT_EQ(fresh.size(), 49u);
  std::set<std::string> movable;
  for (const auto& [hash, size] : fresh) movable.insert(hash);
  movable.erase(v2.find("paks/world.pak")->chunks.at(1));
  movable.erase(v2.find("readme.txt")->chunks.at(0));
  ASSERT_EQ(movable.size(), 47u);
  // Where they go in the staged archive: every chunk after the edited one.
  std::vector<std::pair<uint64_t, uint64_t>> movedPlaces;
  for (uint64_t offset = 2 * mib; offset < pakV2.size(); offset += mib) {
    movedPlaces.emplace_back(offset, std::min<uint64_t>(mib, pakV2.size() - offset));
  }
  ASSERT_EQ(movedPlaces.size(), 47u);

  const std::regex foundLine(R"(Found (\d+) of (\d+) chunks to download at other places)");
  int landed = 0;
  for (int attempt = 1; attempt <= 10 && landed < 2 && !HasFailure(); ++attempt) {
    const std::string label = "attempt " + std::to_string(attempt) + " (seed " + std::to_string(seed) + ")";
    const fs::path folder = dir_ / ("moved" + std::to_string(attempt));
    fs::copy(base, folder, fs::copy_options::recursive);
    server_->clearAccessLog();
    size_t placedAtKill = 0;
    bool ended = false;
    // Kill once this many moved chunks lie written in the staged archive:
    // the copy of the rest is still to come.
    const size_t killAfter = std::uniform_int_distribution<size_t>(1, 40)(rng);
    const fs::path stagedPak = folder / ".staging" / "files" / "paks" / "world.pak";
    {
      ChildProcess sync(syncCommand(folder, v2));
      ASSERT_TRUE(sync.started()) << sync.error();
      const auto deadline = Clock::now() + std::chrono::seconds(120);
      bool reached = false;
      while (sync.running() && !(reached = chunksWrittenThrough(stagedPak, pakV2, movedPlaces) >= killAfter)) {
        if (Clock::now() > deadline) {
          ADD_FAILURE() << label << ": fewer than " << killAfter << " moved chunks written in 120 s";
          break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      // The sync may end between the last look and the kill; the exit code
      // says which came first.
      sync.sendSignal(testing::Signal::Kill);
      const int code = sync.wait(30000);
      EXPECT_TRUE(code == 137 || code == 0) << label << ": exit " << code << "\n" << sync.out() << sync.err();
      ended = code == 0;
      for (const std::string& hash : testing::verifiedStagedChunks(folder, v2)) placedAtKill += movable.count(hash);
      // Whatever was written whole before the kill is there and checks out.
      if (reached) {
        EXPECT_GE(placedAtKill, killAfter) << label;
      }
      std::cout << label << ": killed after " << killAfter << " moved chunks were written, " << placedAtKill
                << " placed and verified" << (ended ? " (had ended)" : "") << std::endl;
    }
    if (!ended) {
      EXPECT_EQ(testing::readFile(folder / "readme.txt"), "v1") << label << ": installed files changed early";
    }
    if (placedAtKill > 0 && placedAtKill < 47) ++landed;

    ProcessResult rerun = testing::runProcess(syncCommand(folder, v2), 120000);
    ASSERT_EQ(rerun.exitCode, 0) << label << "\n" << testing::describe(rerun);
    EXPECT_TRUE(server_->waitIdle());
    std::set<std::string> fetched;
    for (const auto& hash : testing::objectRequests(server_->accessLog())) {
      EXPECT_TRUE(fetched.insert(hash).second) << label << ": fetched twice: " << hash;
      EXPECT_TRUE(fresh.count(hash)) << label << ": fetched an object v1 had: " << hash;
    }
    // At most the readme and the edited chunk, unless the first run got to them.
    EXPECT_LE(fetched.size(), 2u) << label;
    for (const std::string& hash : fetched) EXPECT_FALSE(movable.count(hash)) << label << ": fetched a moved chunk";
    // Everything that lay verified in the staged file was taken as it was:
    // the rerun looked only for the rest, found all of it, and fetched what
    // it looked for and did not find.
    std::smatch m;
    if (std::regex_search(rerun.err, m, foundLine)) {
      const size_t foundNow = std::stoul(m[1]);
      const size_t lookedFor = std::stoul(m[2]);
      EXPECT_EQ(foundNow + placedAtKill, 47u) << label;
      EXPECT_EQ(lookedFor - foundNow, fetched.size()) << label;
    } else if (!ended) {
      EXPECT_EQ(placedAtKill, 47u) << label << ": the rerun did not look for moved chunks\n" << rerun.err;
    }
    std::string why;
    EXPECT_TRUE(testing::folderMatchesRelease(folder, v2, why)) << label << ":\n" << why;
    fs::remove_all(folder);
  }
  EXPECT_GE(landed, 1) << "no kill landed while the moved chunks were being copied";
}

}  // namespace
}  // namespace launcher
