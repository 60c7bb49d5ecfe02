// The account against the reference server as it is deployed (gunicorn
// behind nginx, which also serves the feed): created with the installer's
// referral, signed in and out, checked, expired, and the install event, all
// through the page's commands.
#include "app/launcher_app.h"

#include "data/paths.h"
#include "testing/app_harness.h"
#include "testing/reference_server.h"
#include "testing/temp_dir.h"
#include "update/http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::AppHarness;
using testing::ReferenceServer;

struct Answer {
  int status = 0;
  json body;
};

// A request made by someone else than the launcher under test.
Answer call(const ReferenceServer& server, const std::string& method, const std::string& path,
            const std::string& body, const std::string& token = {}) {
  Answer a;
  std::string text;
  std::string error;
  EXPECT_TRUE(sendJsonRequest(method, server.url(path), body, token, text, a.status, error)) << error;
  a.body = json::parse(text, nullptr, false);
  return a;
}

// Requests nginx logged whose URI is `uri`.
size_t requestsFor(ReferenceServer& server, const std::string& uri) {
  const auto log = server.nginx().accessLog();
  return static_cast<size_t>(
      std::count_if(log.begin(), log.end(), [&](const testing::AccessEntry& e) { return e.uri == uri; }));
}

// Every regular file below `folder` that holds `text`.
std::vector<std::string> filesHolding(const fs::path& folder, const std::string& text) {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file() && testing::readFile(it->path()).find(text) != std::string::npos) {
      out.push_back(it->path().string());
    }
  }
  return out;
}

class GlueThreadsAccountServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ReferenceServer::available()) GTEST_SKIP() << "nginx and gunicorn are needed (scripts/setup.sh installs them)";
    testing::writeFile(dir / "feed" / "stable" / "latest.json", R"({"game":{"build":1,"version":"1.0.0"}})");
    server = std::make_unique<ReferenceServer>(VANTOR_SOURCE_DIR, dir / "feed");
    ASSERT_TRUE(server->started()) << server->error();
  }

  testing::TempDir dir;
  std::unique_ptr<ReferenceServer> server;
};

TEST_F(GlueThreadsAccountServerTest, InstallEventCreateSignOutAndSignInWithTheTokenNeverInClear) {
  // A player who shared an invite link.
  const Answer leader =
      call(*server, "POST", "/api/account/create", R"({"password":"leader pass","ref":"","username":"Leader"})");
  ASSERT_EQ(leader.status, 200);
  const std::string code = leader.body["profile"]["referralCode"];
  const std::string leaderToken = leader.body["token"];
  testing::writeFile(dir / "launcher" / "install.json", json({{"ref", code}}).dump());

  LaunchOptions firstRun;
  firstRun.firstRun = true;
  AppHarness h(dir / "launcher", server->base(), firstRun);
  // The page loads twice (a reload after a crash of its process): one event.
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  h.command({{"cmd", "ready"}});
  // An event the second "ready" sent would be in flight from the moment it
  // returned: once none is, every event has had its answer.
  ASSERT_TRUE(h.pumpUntil([] { return usageEventsInFlight() == 0; }, 60000));
  ASSERT_TRUE(h.pumpUntil([&] { return requestsFor(*server, "/api/event") >= 1; }, 20000));
  EXPECT_EQ(requestsFor(*server, "/api/event"), 1u);
  EXPECT_EQ(call(*server, "GET", "/api/account/me", "", leaderToken).body["profile"]["installs"], 1);

  // Create, with the installer's referral.
  json reply = h.accountReplyTo({{"cmd", "createAccount"}, {"username", "Wingmate"}, {"password", "wing pass!"}});
  EXPECT_EQ(reply, json({{"type", "account"}, {"ok", true}, {"created", true}}));
  json s = h.latestStateWhen([](const json& st) { return st["account"]["signedIn"] == true; });
  ASSERT_FALSE(s.is_null());
  EXPECT_EQ(s["account"]["username"], "Wingmate");
  EXPECT_TRUE(s["account"]["profile"]["referralCode"].is_string());
  EXPECT_EQ(s["account"]["site"], server->base() + "/install/");
  EXPECT_EQ(call(*server, "GET", "/api/account/me", "", leaderToken).body["profile"]["invited"], 1);

  // The token is kept, but never in clear, anywhere in the player's folders.
  const std::string firstToken = LauncherAppProbe::account(h.app()).token;
  ASSERT_EQ(firstToken.size(), 64u);
  ASSERT_TRUE(fs::exists(dataFolder() / "account.json"));
  EXPECT_EQ(filesHolding(h.home(), firstToken), std::vector<std::string>{});
  EXPECT_EQ(filesHolding(h.home(), "wing pass!"), std::vector<std::string>{});

  // Signing out revokes the token on the server.
  EXPECT_EQ(h.toastAfter({{"cmd", "signOut"}}), "Signed out");
  EXPECT_FALSE(fs::exists(dataFolder() / "account.json"));
  EXPECT_EQ(call(*server, "GET", "/api/account/me", "", firstToken).status, 401);

  // Signing in with the name in other letters: the profile's name wins.
  reply = h.accountReplyTo({{"cmd", "signIn"}, {"username", "WINGMATE"}, {"password", "wing pass!"}});
  EXPECT_EQ(reply, json({{"type", "account"}, {"ok", true}, {"created", false}}));
  s = h.latestStateWhen([](const json& st) { return st["account"]["signedIn"] == true; });
  ASSERT_FALSE(s.is_null());
  EXPECT_EQ(s["account"]["username"], "Wingmate");
  const std::string token = LauncherAppProbe::account(h.app()).token;
  EXPECT_NE(token, firstToken);
  EXPECT_EQ(filesHolding(h.home(), token), std::vector<std::string>{});
  const AccountRecord stored = loadAccount(defaultAccountStore());
  EXPECT_EQ(stored.username, "Wingmate");
  EXPECT_EQ(stored.token, token) << "what is kept opens again for this user";

  // A wrong password: the server's own words.
  reply = h.accountReplyTo({{"cmd", "signIn"}, {"username", "Wingmate"}, {"password", "wrong pass"}});
  EXPECT_EQ(reply, json({{"type", "account"}, {"ok", false}, {"error", "Wrong pilot name or password."}}));
}

TEST_F(GlueThreadsAccountServerTest, ExpiryRequestsInFlightAndAStoppedServer) {
  AppHarness h(dir / "launcher", server->base());
  ASSERT_EQ(call(*server, "POST", "/api/account/create", R"({"password":"pilot pass","ref":"","username":"Pilot"})")
                .status,
            200);
  ASSERT_EQ(h.accountReplyTo({{"cmd", "signIn"}, {"username", "Pilot"}, {"password", "pilot pass"}})["ok"], true);

  // The sign-in ended elsewhere (revoked): the check at the next page load
  // finds out, and the launcher forgets it.
  const std::string token = LauncherAppProbe::account(h.app()).token;
  ASSERT_EQ(call(*server, "POST", "/api/account/signout", "{}", token).status, 200);
  EXPECT_EQ(h.toastAfter({{"cmd", "ready"}}), "Your sign-in has expired. Sign in again under Settings > Online.");
  EXPECT_EQ(h.app().buildState()["account"]["signedIn"], false);
  EXPECT_FALSE(fs::exists(dataFolder() / "account.json"));

  // A second sign-in while the first is in flight: no second request.
  const size_t signIns = requestsFor(*server, "/api/account/signin");
  const size_t messages = h.shell().accountMessages().size();
  h.command({{"cmd", "signIn"}, {"username", "Pilot"}, {"password", "pilot pass"}});
  h.command({{"cmd", "signIn"}, {"username", "Pilot"}, {"password", "pilot pass"}});
  ASSERT_TRUE(h.pumpUntil([&] { return h.shell().accountMessages().size() > messages; }));
  EXPECT_EQ(h.shell().accountMessages().back()["ok"], true);
  // A later request goes out on the one account thread only once nothing is
  // in flight, and would be ignored while the second one were: its answer
  // comes after anything the second one could have brought.
  const json marker = h.accountReplyTo({{"cmd", "signIn"}, {"username", "Nobody"}, {"password", "no pass"}});
  EXPECT_EQ(marker, json({{"type", "account"}, {"ok", false}, {"error", "Wrong pilot name or password."}}));
  EXPECT_EQ(h.shell().accountMessages().size(), messages + 2);
  ASSERT_TRUE(h.pumpUntil([&] { return requestsFor(*server, "/api/account/signin") >= signIns + 2; }));
  EXPECT_EQ(requestsFor(*server, "/api/account/signin"), signIns + 2);
  EXPECT_EQ(h.app().buildState()["account"]["username"], "Pilot") << "the failed marker changes no sign-in";

  // The application behind nginx stops: nginx answers with its own HTML page.
  server->stopApplication();
  const json reply = h.accountReplyTo({{"cmd", "createAccount"}, {"username", "Other"}, {"password", "other pass"}});
  EXPECT_EQ(reply, json({{"type", "account"}, {"ok", false}, {"error", "That didn't work."}}));
  EXPECT_EQ(h.app().buildState()["account"]["username"], "Pilot") << "a failed request changes no sign-in";
  // Signing out still signs out here.
  EXPECT_EQ(h.toastAfter({{"cmd", "signOut"}}), "Signed out");
  EXPECT_EQ(h.app().buildState()["account"]["signedIn"], false);
  EXPECT_FALSE(fs::exists(dataFolder() / "account.json"));
}

}  // namespace
}  // namespace launcher
