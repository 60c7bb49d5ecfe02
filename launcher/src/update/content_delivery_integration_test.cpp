// Content delivery end to end: content published with the project's release
// tool, served by a real nginx, installed by the real `vantor-launcher --sync`
// process. nginx's access log tells exactly which objects travelled.
#include "testing/child_process.h"
#include "testing/nginx_server.h"
#include "testing/release_feed.h"
#include "testing/temp_dir.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::NginxOptions;
using testing::NginxServer;
using testing::ProcessResult;
using testing::PublishedRelease;
using testing::Signal;
using testing::Staging;

constexpr uint64_t chunk = 64 * 1024;  // small chunks, so a few MiB make meaningful counts

class ContentDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::available()) {
      GTEST_SKIP() << "nginx is not installed at " << NginxServer::binary() << " (scripts/setup.sh installs it)";
    }
  }

  fs::path content() const { return dir_ / "content"; }
  fs::path feed() const { return dir_ / "feed"; }
  fs::path game() const { return dir_ / "game"; }

  // A small game: a multi-chunk archive, a file shared byte for byte with
  // another (its chunks travel once), an empty file, text, nested folders.
  void writeContent(uint64_t archiveSize = 40 * chunk + 1234) {
    testing::writeRandomFile(content() / "data/world.pak", archiveSize, 1);
    testing::writeRandomFile(content() / "data/level1.dat", 300 * 1024 + 7, 2);
    testing::writeRandomFile(content() / "data/backup/level1.dat", 300 * 1024 + 7, 2);
    testing::writeRandomFile(content() / "audio/theme.ogg", 16 * chunk, 3);
    testing::writeFile(content() / "readme.txt", "Astrane: Vantor\n");
    testing::writeFile(content() / "config/empty.cfg", "");
  }

  void startServer(NginxOptions options = {}) {
    server_ = std::make_unique<NginxServer>(feed(), options);
    ASSERT_TRUE(server_->started()) << server_->error();
  }

  void publish(const std::string& version, int build, PublishedRelease& out) {
    std::string error;
    ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, content(), feed(), version, build, chunk, out, error))
        << error;
  }

  std::vector<std::string> syncCommand(const PublishedRelease& r, bool verify) const {
    std::vector<std::string> argv{VANTOR_LAUNCHER_EXE, "--sync", game().string(),
                                  server_->url("/" + r.manifestPath)};
    if (verify) argv.push_back("--verify");
    return argv;
  }

  // Runs one sync with a fresh access-log window; `fetched` gets the object
  // hashes it requested.
  ProcessResult sync(const PublishedRelease& r, bool verify, std::vector<std::string>& fetched) {
    server_->clearAccessLog();
    ProcessResult result = testing::runProcess(syncCommand(r, verify), 120000);
    EXPECT_TRUE(server_->waitIdle());
    fetched = testing::objectRequests(server_->accessLog());
    return result;
  }

  void expectMatches(const PublishedRelease& r, Staging staging = Staging::MustBeGone) {
    std::string why;
    EXPECT_TRUE(testing::folderMatchesRelease(game(), r, why, staging)) << why;
  }

  // Installs `r` into the empty game folder and checks it.
  void install(const PublishedRelease& r) {
    std::vector<std::string> fetched;
    ProcessResult result = sync(r, false, fetched);
    ASSERT_EQ(result.exitCode, 0) << testing::describe(result);
    std::string why;
    ASSERT_TRUE(testing::folderMatchesRelease(game(), r, why)) << why;
  }

  testing::TempDir dir_;
  std::unique_ptr<NginxServer> server_;
};

TEST_F(ContentDeliveryTest, FreshInstall) {
  writeContent();
  PublishedRelease v1;
  ASSERT_NO_FATAL_FAILURE(publish("1.0.0", 1, v1));
  ASSERT_NO_FATAL_FAILURE(startServer());

  std::vector<std::string> fetched;
  ProcessResult result = sync(v1, false, fetched);
  ASSERT_EQ(result.exitCode, 0) << testing::describe(result);
  expectMatches(v1);
  EXPECT_TRUE(fs::exists(game() / "manifest.json"));
  EXPECT_FALSE(fs::exists(game() / ".staging"));

  // Every object exactly once, the shared file's chunks included.
  const auto objects = v1.objects();
  std::multiset<std::string> counts(fetched.begin(), fetched.end());
  EXPECT_EQ(fetched.size(), objects.size());
  for (const auto& [hash, size] : objects) EXPECT_EQ(counts.count(hash), 1u) << hash;
  for (const auto& e : server_->accessLog()) EXPECT_EQ(e.status, 200) << e.uri;
}

TEST_F(ContentDeliveryTest, UpdateOfOneChunkFetchesOnlyThatChunk) {
  writeContent();
  PublishedRelease v1, v2;
  ASSERT_NO_FATAL_FAILURE(publish("1.0.0", 1, v1));
  ASSERT_NO_FATAL_FAILURE(startServer());
  ASSERT_NO_FATAL_FAILURE(install(v1));

  testing::overwriteRandom(content() / "data/world.pak", 7 * chunk, chunk, 99);
  ASSERT_NO_FATAL_FAILURE(publish("1.0.1", 2, v2));
  const auto* before = v1.find("data/world.pak");
  const auto* after = v2.find("data/world.pak");
  ASSERT_TRUE(before && after);
  ASSERT_NE(before->chunks.at(7), after->chunks.at(7));

  std::vector<std::string> fetched;
  ProcessResult result = sync(v2, false, fetched);
  ASSERT_EQ(result.exitCode, 0) << testing::describe(result);
  EXPECT_EQ(fetched, std::vector<std::string>{after->chunks.at(7)});
  expectMatches(v2);
}

TEST_F(ContentDeliveryTest, RenamedFileIsNotDownloaded) {
  writeContent();
  PublishedRelease v1, v2;
  ASSERT_NO_FATAL_FAILURE(publish("1.0.0", 1, v1));
  ASSERT_NO_FATAL_FAILURE(startServer());
  ASSERT_NO_FATAL_FAILURE(install(v1));

  fs::rename(content() / "audio/theme.ogg", content() / "audio/main_theme.ogg");
  ASSERT_NO_FATAL_FAILURE(publish("1.0.1", 2, v2));

  std::vector<std::string> fetched;
  ProcessResult result = sync(v2, false, fetched);
  ASSERT_EQ(result.exitCode, 0) << testing::describe(result);
  EXPECT_TRUE(fetched.empty()) << fetched.size() << " objects fetched";
  EXPECT_FALSE(fs::exists(game() / "audio/theme.ogg"));
  expectMatches(v2);
}

TEST_F(ContentDeliveryTest, PauseThenResumeFetchesOnlyUnfinishedChunks) {
  // 6 MiB in 96 objects at 30 requests a second: about three seconds on the wire.
  writeContent(96 * chunk);
  PublishedRelease v1;
  ASSERT_NO_FATAL_FAILURE(publish("1.0.0", 1, v1));
  NginxOptions slow;
  slow.requestsPerSecond = 30;
  ASSERT_NO_FATAL_FAILURE(startServer(slow));

  // Stop it once a good part of the objects has arrived. It cannot end first:
  // the server paces the rest over seconds. Should it all the same, the
  // attempt proves nothing and is made again.
  std::vector<std::string> firstFetched;
  std::set<std::string> staged;
  for (int attempt = 1;; ++attempt) {
    std::error_code ec;
    fs::remove_all(game(), ec);
    server_->clearAccessLog();
    ChildProcess first(syncCommand(v1, false));
    ASSERT_TRUE(first.started()) << first.error();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (first.running() && server_->accessLog().size() < 40) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no progress in 60 s";
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    first.sendSignal(Signal::Terminate);
    const int code = first.wait(20000);
    if (code == 0 && attempt < 3) continue;
    ASSERT_EQ(code, 130) << first.out() << first.err();
    EXPECT_NE((first.out() + first.err()).find("Cancelled"), std::string::npos) << first.out() << first.err();
    break;
  }
  EXPECT_FALSE(fs::exists(game() / "manifest.json"));

  ASSERT_TRUE(server_->waitIdle());
  firstFetched = testing::objectRequests(server_->accessLog());
  staged = testing::verifiedStagedChunks(game(), v1);
  ASSERT_GE(staged.size(), 20u) << "too little was staged for the resume to prove anything";

  std::vector<std::string> second;
  ProcessResult result = sync(v1, false, second);
  ASSERT_EQ(result.exitCode, 0) << testing::describe(result);
  expectMatches(v1);

  const std::set<std::string> before(firstFetched.begin(), firstFetched.end());
  size_t refetched = 0;
  for (const auto& hash : second) {
    EXPECT_EQ(staged.count(hash), 0u) << "staged and verified, yet fetched again: " << hash;
    refetched += before.count(hash);
  }
  // Only the objects on the wire at the stop (one per worker) may travel twice.
  EXPECT_LE(refetched, 4u);
  EXPECT_EQ(std::set<std::string>(second.begin(), second.end()).size(), second.size()) << "fetched twice in one run";
  std::set<std::string> all(before);
  all.insert(second.begin(), second.end());
  EXPECT_EQ(all.size(), v1.objects().size());
}

// Two `--sync` runs of one folder would share its staging area and could
// install each other's half-written bytes: the second must refuse at once.
TEST_F(ContentDeliveryTest, SecondSyncProcessOfTheSameFolderIsRefusedAtOnce) {
  writeContent(96 * chunk);
  PublishedRelease v1;
  ASSERT_NO_FATAL_FAILURE(publish("1.0.0", 1, v1));
  NginxOptions slow;
  // About ten seconds of objects, so the first run is still fetching when it
  // is stopped below.
  slow.requestsPerSecond = 10;
  ASSERT_NO_FATAL_FAILURE(startServer(slow));

  server_->clearAccessLog();
  ChildProcess first(syncCommand(v1, false));
  ASSERT_TRUE(first.started()) << first.error();
  // Once objects are requested the first run holds the folder (it locks
  // before it looks at anything).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (first.running() && testing::objectRequests(server_->accessLog()).empty()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no object requested in 60 s";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Stopped, it keeps its lock and cannot end while the second run tries,
  // however long that takes on a busy machine.
  ASSERT_TRUE(first.stop()) << "the first sync ended early:\n" << first.out() << first.err();
  ProcessResult second = testing::runProcess(syncCommand(v1, false), 60000);
  first.resume();
  EXPECT_EQ(second.exitCode, 1) << testing::describe(second);
  EXPECT_NE(second.err.find("Another update of this folder is running"), std::string::npos)
      << testing::describe(second);

  EXPECT_EQ(first.wait(120000), 0) << first.out() << first.err();
  expectMatches(v1);
  // The lock went with the first run: the folder syncs again.
  std::vector<std::string> fetched;
  ProcessResult third = sync(v1, false, fetched);
  EXPECT_EQ(third.exitCode, 0) << testing::describe(third);
  EXPECT_TRUE(fetched.empty());
}

TEST_F(ContentDeliveryTest, RepairRebuildsCorruptedFileOfTheRightSize) {
  writeContent();
  PublishedRelease v1;
  ASSERT_NO_FATAL_FAILURE(publish("1.0.0", 1, v1));
  ASSERT_NO_FATAL_FAILURE(startServer());
  ASSERT_NO_FATAL_FAILURE(install(v1));

  // Damage the middle of chunk 12, keeping the size.
  testing::overwriteRandom(game() / "data/world.pak", 12 * chunk + 100, 50, 7);
  const auto* pak = v1.find("data/world.pak");
  ASSERT_TRUE(pak);
  ASSERT_NE(sha256File(game() / "data/world.pak"), pak->sha256);

  // An update trusts the installed manifest for a file of the right size.
  std::vector<std::string> fetched;
  ProcessResult update = sync(v1, false, fetched);
  ASSERT_EQ(update.exitCode, 0) << testing::describe(update);
  EXPECT_TRUE(fetched.empty());
  EXPECT_NE(sha256File(game() / "data/world.pak"), pak->sha256);

  ProcessResult repair = sync(v1, true, fetched);
  ASSERT_EQ(repair.exitCode, 0) << testing::describe(repair);
  EXPECT_EQ(fetched, std::vector<std::string>{pak->chunks.at(12)});
  expectMatches(v1);
}

TEST_F(ContentDeliveryTest, GameRunningBlocksInstall) {
  writeContent();
  PublishedRelease v1, v2;
  ASSERT_NO_FATAL_FAILURE(publish("1.0.0", 1, v1));
  ASSERT_NO_FATAL_FAILURE(startServer());
  ASSERT_NO_FATAL_FAILURE(install(v1));
  testing::overwriteRandom(content() / "data/world.pak", 3 * chunk, 2 * chunk, 5);
  fs::remove(content() / "data/backup/level1.dat");
  testing::writeRandomFile(content() / "data/level2.dat", 5 * chunk, 6);
  ASSERT_NO_FATAL_FAILURE(publish("1.1.0", 2, v2));

  // The stand-in game writes its record once it holds the lock.
  const fs::path record = dir_ / "game-record.txt";
  auto runningGame = std::make_unique<ChildProcess>(
      std::vector<std::string>{VANTOR_FAKEGAME_EXE, "--record", record.string(), "--hold-ms", "120000"});
  ASSERT_TRUE(runningGame->started()) << runningGame->error();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::exists(record)) {
    ASSERT_TRUE(runningGame->running()) << "the game ended: " << runningGame->err();
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the game did not start";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::vector<std::string> fetched;
  ProcessResult blocked = sync(v2, false, fetched);
  EXPECT_EQ(blocked.exitCode, 1) << testing::describe(blocked);
  EXPECT_NE(blocked.err.find("Close the game to finish the update"), std::string::npos) << testing::describe(blocked);
  EXPECT_FALSE(fetched.empty());
  // Nothing installed was touched: still exactly v1, staging kept for later.
  expectMatches(v1, Staging::MayRemain);

  runningGame->sendSignal(Signal::Terminate);
  runningGame->wait(10000);
  ProcessResult after = sync(v2, false, fetched);
  ASSERT_EQ(after.exitCode, 0) << testing::describe(after);
  EXPECT_TRUE(fetched.empty()) << fetched.size() << " objects fetched again";
  expectMatches(v2);
}

}  // namespace
}  // namespace launcher
