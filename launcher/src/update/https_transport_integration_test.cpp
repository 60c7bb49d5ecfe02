// The transport over real TLS: nginx on loopback with a certificate the test
// makes and trusts. A redirect from https never leads to clear text, whether
// a document or an install asks.
#include "tasks/game_update.h"
#include "testing/nginx_server.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"
#include "update/http.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::NginxOptions;
using testing::NginxServer;
using testing::TestHttpServer;
using testing::TestResponse;

class HttpsTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs it)";
    std::string error;
    ASSERT_TRUE(testing::makeTestCertificate(dir_ / "cert.pem", dir_ / "key.pem", error)) << error;
    TestResponse plain;
    plain.body = R"({"game":{"version":"9.9","manifest":"m.json"}})";
    clear_.serve("/stable/latest.json", plain);
    clear_.serve("/manifests/1.0.json", plain);
    testing::writeFile(dir_ / "feed" / "stable" / "latest.json",
                       json{{"game", {{"version", "1.0"}, {"build", 1}, {"manifest", "../manifests/1.0.json"}}}}.dump());
    NginxOptions options;
    options.tlsCertificate = dir_ / "cert.pem";
    options.tlsKey = dir_ / "key.pem";
    options.serverConfig =
        "    location = /down { return 302 " + clear_.url("/stable/latest.json") + "; }\n" +
        "    location = /across { return 302 https://127.0.0.1:$server_port/stable/latest.json; }\n" +
        "    location = /manifests/1.0.json { return 301 " + clear_.url("/manifests/1.0.json") + "; }\n";
    server_ = std::make_unique<NginxServer>(dir_ / "feed", options);
    ASSERT_TRUE(server_->started()) << server_->error();
    trustCertificatesForTesting(dir_ / "cert.pem");
  }
  void TearDown() override { trustCertificatesForTesting({}); }

  testing::TempDir dir_;
  TestHttpServer clear_;
  std::unique_ptr<NginxServer> server_;
};

TEST_F(HttpsTransport, RedirectFromHttpsToHttpIsRefused) {
  std::string body;
  std::string error;
  // The certificate is trusted, and https to https is followed.
  ASSERT_TRUE(fetchText(server_->secureUrl("/stable/latest.json"), body, error)) << error;
  ASSERT_TRUE(fetchText(server_->secureUrl("/across"), body, error)) << error;
  EXPECT_NE(body.find("\"1.0\""), std::string::npos) << body;

  EXPECT_FALSE(fetchText(server_->secureUrl("/down"), body, error));
  EXPECT_EQ(error, "The update server must use https");
  std::string digest;
  EXPECT_FALSE(downloadFile(server_->secureUrl("/down"), dir_ / "copy", {}, digest, error));
  EXPECT_EQ(error, "The update server must use https");
  EXPECT_EQ(clear_.requestCount("/stable/latest.json"), 0) << "the redirect to clear text was followed";
}

// An install whose manifest is redirected to clear text fails with the
// https text and installs nothing.
TEST_F(HttpsTransport, InstallThroughADowngradingRedirectInstallsNothing) {
  const fs::path launcherFolder = dir_ / "launcher";
  testing::writeFile(launcherFolder / "update.json", json{{"feed", server_->secureUrl("")}}.dump());
  testing::ScopedEnv noFeed("VANTOR_UPDATE_FEED", std::nullopt);
  GameUpdateRequest request;
  request.launcherFolder = launcherFolder;
  request.gameFolder = dir_ / "game";
  request.channel = "stable";
  std::atomic<bool> cancel{false};
  GameUpdateResult result;
  EXPECT_EQ(runGameUpdate(request, cancel, {}, result), "The update server must use https");
  EXPECT_TRUE(result.feed.ok) << result.feed.error;
  EXPECT_EQ(clear_.requestCount("/manifests/1.0.json"), 0);
  std::error_code ec;
  EXPECT_TRUE(!fs::exists(request.gameFolder, ec) || fs::is_empty(request.gameFolder, ec));
}

// The same feed named over clear text to a host that is not this machine
// never gets as far as a connection.
TEST_F(HttpsTransport, RemoteClearTextFeedIsRefused) {
  const fs::path launcherFolder = dir_ / "launcher";
  testing::writeFile(launcherFolder / "update.json", json{{"feed", "http://updates.example.invalid/feed"}}.dump());
  testing::ScopedEnv noFeed("VANTOR_UPDATE_FEED", std::nullopt);
  GameUpdateRequest request;
  request.launcherFolder = launcherFolder;
  request.gameFolder = dir_ / "game";
  request.channel = "stable";
  std::atomic<bool> cancel{false};
  GameUpdateResult result;
  EXPECT_EQ(runGameUpdate(request, cancel, {}, result), "The update server must use https");
  EXPECT_FALSE(fs::exists(request.gameFolder));
}

}  // namespace
}  // namespace launcher
