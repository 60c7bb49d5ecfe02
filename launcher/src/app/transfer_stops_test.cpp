// Pause, cancel and the launcher's close reach every transfer at once, also
// when the server has gone silent: the game job's latest.json and manifest,
// the update check's manifest, and the launcher's own download. The server
// here answers nothing until the test ends, so a transfer that does not see
// the stop waits for curl's 30 s no-data rule; the bound asserted is well
// below that and well above the one-second poll.
#include "app/launcher_app.h"

#include "testing/app_harness.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"
#include "update/self_update.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::AppHarness;
using testing::TestHttpServer;
using testing::TestResponse;
using Clock = std::chrono::steady_clock;

constexpr auto bound = std::chrono::seconds(5);  // the poll is once a second; the silent server's rule is 30 s

TestResponse jsonAnswer(const json& body) {
  TestResponse r;
  r.body = body.dump();
  r.contentType = "application/json";
  return r;
}

TestResponse silent() {
  TestResponse r;
  r.body = "{}";
  r.hold = true;
  return r;
}

class CoreThreadsTransferStopsTest : public ::testing::Test {
 protected:
  // latest.json answers; the path it names stays silent.
  void serveFeedWithSilent(const std::string& silentPath) {
    server.serve("/stable/latest.json",
                 jsonAnswer({{"game", {{"version", "2.0"}, {"build", 2}, {"manifest", "../manifests/game.json"}}},
                             {"launcher", {{"version", "9.0"}, {"url", "builds/launcher"}, {"sha256", std::string(64, 'a')},
                                           {"size", 1000}}}}));
    server.serve(silentPath, silent());
  }

  bool waitForHeld(int n) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (server.heldCount() < n) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  testing::LogCapture log;
  TestHttpServer server;
  testing::TempDir dir;
};

TEST_F(CoreThreadsTransferStopsTest, PauseCancelAndCloseEndTheGameJobsSilentManifestDownload) {
  serveFeedWithSilent("/manifests/game.json");
  struct Case {
    const char* action;
    std::function<bool(const json&)> shows;  // the state that shows the action took
  };
  const std::vector<Case> cases = {
      {"pause",
       [](const json& s) {
         return s["task"].is_null() && s["queue"].size() == 1 && s["queue"][0]["paused"] == true;
       }},
      {"cancel", [](const json& s) { return s["task"].is_null() && s["queue"].empty(); }},
      {"close", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    AppHarness h(dir / c.action, server.url(""));
    const int held = server.heldCount();
    h.command({{"cmd", "install"}});
    ASSERT_TRUE(waitForHeld(held + 1)) << "the manifest was never asked for";
    const auto start = Clock::now();
    if (c.shows) {
      h.command({{"cmd", c.action}});
      EXPECT_FALSE(h.waitForState(c.shows, 30000).is_null());
    } else {
      h.app().shutdown();
    }
    const auto took = Clock::now() - start;
    std::printf("  %s of the manifest download took %.0f ms\n", c.action,
                std::chrono::duration<double, std::milli>(took).count());
    EXPECT_LT(took, bound);
    if (c.shows) {
      EXPECT_EQ(h.app().buildState()["taskError"], "");
    }
  }
}

TEST_F(CoreThreadsTransferStopsTest, CloseEndsTheUpdateChecksSilentManifestDownload) {
  serveFeedWithSilent("/manifests/game.json");
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(waitForHeld(1)) << "the check never asked for the manifest";
  const auto start = Clock::now();
  h.app().shutdown();
  const auto took = Clock::now() - start;
  std::printf("  close during the check's manifest download took %.0f ms\n",
              std::chrono::duration<double, std::milli>(took).count());
  EXPECT_LT(took, bound);
}

TEST_F(CoreThreadsTransferStopsTest, CancelEndsTheLaunchersSilentDownload) {
  serveFeedWithSilent("/builds/launcher");
  Feed feed;
  feed.ok = true;
  feed.url = server.url("/stable/latest.json");
  feed.launcherVersion = "9.0";
  feed.launcherUrl = "../builds/launcher";
  feed.launcherSha256 = std::string(64, 'a');
  feed.launcherSize = 1000;
  const fs::path exe = dir / "launcher" / "vantor-launcher";
  testing::writeFile(exe, "the running build");
  std::atomic<bool> cancel{false};
  std::string error;
  bool result = true;
  std::thread job([&] { result = updateLauncher(feed, exe, cancel, {}, error); });
  ASSERT_TRUE(waitForHeld(1));
  const auto start = Clock::now();
  cancel = true;
  job.join();
  const auto took = Clock::now() - start;
  EXPECT_LT(took, bound);
  EXPECT_FALSE(result);
  EXPECT_EQ(error, "Cancelled");
  EXPECT_EQ(testing::readFile(exe), "the running build");
}

// A build larger than latest.json says stops before it fills the disk.
TEST_F(CoreThreadsTransferStopsTest, LauncherBuildLargerThanAnnouncedIsRefused) {
  TestResponse big;
  big.generatedSize = 5'000'000;
  server.serve("/builds/launcher", big);
  Feed feed;
  feed.ok = true;
  feed.url = server.url("/stable/latest.json");
  feed.launcherUrl = "../builds/launcher";
  feed.launcherSha256 = std::string(64, 'a');
  feed.launcherSize = 1000;
  const fs::path exe = dir / "launcher" / "vantor-launcher";
  testing::writeFile(exe, "the running build");
  std::atomic<bool> cancel{false};
  std::string error;
  EXPECT_FALSE(updateLauncher(feed, exe, cancel, {}, error));
  EXPECT_EQ(error, "The downloaded launcher is larger than the update server says");
  EXPECT_FALSE(fs::exists(siblingPath(exe, ".new")));
  EXPECT_EQ(testing::readFile(exe), "the running build");
}

}  // namespace
}  // namespace launcher
