// Installs and updates through a proxy that spoils the server's answers
// (testing/fault_proxy), content published with the release tool and served
// by nginx. Whatever the fault, a sync ends with the folder exactly as its
// manifest says, or with a failure text and the installed files untouched,
// and no byte of a spoiled answer ever reaches an installed file. A run after
// the network recovered finishes the folder.
#include "testing/fault_proxy.h"
#include "testing/log_capture.h"
#include "testing/nginx_server.h"
#include "testing/release_feed.h"
#include "testing/temp_dir.h"
#include "update/folder_sync.h"
#include "update/manifest.h"
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::Fault;
using testing::FaultPlan;
using testing::FaultProxy;
using testing::NginxServer;
using testing::PublishedRelease;
using testing::Staging;

constexpr uint64_t chunk = 64 * 1024;

class FaultyNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs it)";
    testing::writeRandomFile(dir / "content/data/world.pak", 24 * chunk + 99, 1);
    testing::writeRandomFile(dir / "content/data/level.dat", 5 * chunk, 2);
    testing::writeFile(dir / "content/readme.txt", "Astrane: Vantor\n");
    std::string error;
    ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, dir / "content", dir / "feed", "1.0", 1, chunk, v1, error))
        << error;
    testing::overwriteRandom(dir / "content/data/world.pak", 3 * chunk, 9 * chunk, 7);
    testing::writeRandomFile(dir / "content/data/new.dat", 6 * chunk + 5, 3);
    ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, dir / "content", dir / "feed", "2.0", 2, chunk, v2, error))
        << error;
    server = std::make_unique<NginxServer>(dir / "feed");
    ASSERT_TRUE(server->started()) << server->error();
  }

  // The digests each path may have in a folder between the two releases.
  std::map<std::string, std::set<std::string>> allowedDigests() const {
    std::map<std::string, std::set<std::string>> allowed;
    for (const PublishedRelease* r : {&v1, &v2}) {
      for (const auto& f : r->files) allowed[f.path].insert(f.sha256);
    }
    return allowed;
  }

  bool sync(const std::string& base, const PublishedRelease& r, std::string& error) {
    GameManifest m;
    if (!loadManifest(base + "/" + r.manifestPath, m, error)) return false;
    std::atomic<bool> cancel{false};
    return syncFolder(game, m, false, cancel, {}, error);
  }

  testing::LogCapture log;
  testing::TempDir dir;
  fs::path game = dir / "game";
  PublishedRelease v1;
  PublishedRelease v2;
  std::unique_ptr<NginxServer> server;
};

TEST_F(FaultyNetworkTest, EveryFaultEndsExactOrFailsWithInstalledFilesUntouched) {
  const std::vector<std::pair<Fault, double FaultPlan::*>> kinds = {
      {Fault::Reset, &FaultPlan::reset},         {Fault::Stall, &FaultPlan::stall},
      {Fault::Truncate, &FaultPlan::truncate},   {Fault::Flip, &FaultPlan::flip},
      {Fault::ServerError, &FaultPlan::serverError}, {Fault::WrongLength, &FaultPlan::wrongLength}};
  const auto allowed = allowedDigests();
  std::string error;
  int spoiled = 0;
  for (const auto& [kind, rate] : kinds) {
    for (uint32_t seed = 1; seed <= 2; ++seed) {
      SCOPED_TRACE(std::string(testing::faultName(kind)) + " seed " + std::to_string(seed));
      fs::remove_all(game);
      ASSERT_TRUE(sync(server->url(""), v1, error)) << error;
      FaultPlan plan;
      plan.pathPrefix = "/objects/";
      plan.*rate = 0.4;
      plan.stallMs = 300;
      plan.seed = seed;
      FaultProxy proxy(server->port(), plan);
      error.clear();
      const bool ok = sync(proxy.url(""), v2, error);
      spoiled += proxy.counts()[kind];
      std::string why;
      if (ok) {
        EXPECT_TRUE(testing::folderMatchesRelease(game, v2, why)) << why;
      } else {
        EXPECT_FALSE(error.empty());
        EXPECT_NE(error, "Cancelled");
        EXPECT_TRUE(testing::folderMatchesRelease(game, v1, why, Staging::MayRemain)) << error << ": " << why;
      }
      // Whatever happened, every file holds one release's bytes.
      for (const auto& [path, digests] : allowed) {
        if (fs::exists(game / path)) {
          EXPECT_TRUE(digests.count(sha256File(game / path))) << path << " is corrupt";
        }
      }
      error.clear();
      EXPECT_TRUE(sync(server->url(""), v2, error)) << error;
      EXPECT_TRUE(testing::folderMatchesRelease(game, v2, why)) << why;
    }
  }
  EXPECT_GT(spoiled, 0) << "no answer was spoiled: the test proves nothing";
}

}  // namespace
}  // namespace launcher
