// Installing through the feed's mirrors: a release published with the
// project's release tool, its documents served by nginx at the feed base,
// whose objects all fail there; a first mirror that refuses every connection
// and a second that flips a byte in every fifth object it sends. The install
// finishes exact, in one run, from the places that answer.
#include "tasks/game_update.h"
#include "testing/nginx_server.h"
#include "testing/release_feed.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::NginxOptions;
using testing::NginxServer;
using testing::PublishedRelease;
using testing::TestHttpServer;
using testing::TestResponse;

constexpr uint64_t chunk = 64 * 1024;

TEST(MirrorInstall, FailingFeedRefusingMirrorAndCorruptingMirrorStillInstallExactlyInOneRun) {
  if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs it)";
  testing::TempDir dir;
  testing::writeRandomFile(dir / "content" / "data" / "world.pak", 30 * chunk + 99, 7);
  testing::writeRandomFile(dir / "content" / "audio" / "theme.ogg", 12 * chunk, 8);
  testing::writeFile(dir / "content" / "readme.txt", "Astrane: Vantor\n");
  PublishedRelease release;
  std::string error;
  ASSERT_TRUE(testing::publishRelease(VANTOR_SOURCE_DIR, dir / "content", dir / "feed", "1.0.0", 1, chunk, release,
                                      error))
      << error;

  // The feed base serves its documents, and a 503 for every object.
  NginxOptions options;
  options.serverConfig = "    location /objects/ { return 503; }\n";
  NginxServer feed(dir / "feed", options);
  ASSERT_TRUE(feed.started()) << feed.error();
  std::string refusing;
  {
    TestHttpServer gone;
    refusing = gone.url("/mirror1");
  }
  TestHttpServer mirror;
  for (const auto& [hash, size] : release.objects()) {
    TestResponse object;
    object.body = testing::readFile(dir / "feed" / "objects" / hash.substr(0, 2) / hash);
    ASSERT_EQ(object.body.size(), size) << hash;
    mirror.serve("/mirror2/objects/" + hash.substr(0, 2) + "/" + hash, object);
  }
  mirror.setFaults({"/mirror2/objects/", 5, 0, 1});

  const fs::path launcherFolder = dir / "launcher";
  testing::writeFile(launcherFolder / "update.json",
                     json{{"feed", feed.url("/")}, {"mirrors", {refusing, mirror.url("/mirror2/")}}}.dump());
  testing::ScopedEnv noFeed("VANTOR_UPDATE_FEED", std::nullopt);
  GameUpdateRequest request;
  request.launcherFolder = launcherFolder;
  request.gameFolder = dir / "game";
  request.channel = "stable";
  std::atomic<bool> cancel{false};
  GameUpdateResult result;
  std::string outcome;
  // On a thread of its own, as the job worker runs it: its kept connection
  // closes when it ends, so nginx's log is complete afterwards.
  std::thread([&] { outcome = runGameUpdate(request, cancel, {}, result); }).join();
  ASSERT_EQ(outcome, "");
  std::string why;
  EXPECT_TRUE(testing::folderMatchesRelease(request.gameFolder, release, why)) << why;
  EXPECT_GE(mirror.faultsMade(), static_cast<int>(release.objects().size() / 5));
  // Every object came from the second mirror; the feed was asked for a few,
  // then left alone.
  ASSERT_TRUE(feed.waitIdle());
  int feedObjectRequests = 0;
  for (const auto& entry : feed.accessLog()) feedObjectRequests += entry.uri.rfind("/objects/", 0) == 0 ? 1 : 0;
  EXPECT_LT(feedObjectRequests, static_cast<int>(release.objects().size()));
}

}  // namespace
}  // namespace launcher
