// The account through the page's commands: requests on the account thread,
// their answers applied on the UI thread (the test pumps it), against an
// in-process server that answers what a test needs.
#include "app/launcher_app.h"

#include "data/launcher_prefs.h"
#include "data/paths.h"
#include "testing/app_harness.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::AppHarness;
using testing::TempDir;
using testing::TestHttpServer;
using testing::TestResponse;

const std::string goodToken = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TestResponse answer(int status, std::string body, std::string type = "application/json") {
  TestResponse r;
  r.status = status;
  r.body = std::move(body);
  r.contentType = std::move(type);
  return r;
}

// True while this process has an open TCP connection from 127.0.0.1
// port `from` to 127.0.0.1 port `to` (/proc/self/net/tcp, state ESTABLISHED):
// a client still waiting for its answer. One that gave up has closed it.
bool connectionEstablished(int from, int to) {
  std::ifstream in("/proc/self/net/tcp");
  std::string line;
  std::getline(in, line);  // the header
  char local[16];
  char remote[16];
  std::snprintf(local, sizeof local, "0100007F:%04X", static_cast<unsigned>(from));
  std::snprintf(remote, sizeof remote, "0100007F:%04X", static_cast<unsigned>(to));
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress, remoteAddress, state;
    fields >> slot >> localAddress >> remoteAddress >> state;
    if (localAddress == local && remoteAddress == remote && state == "01") return true;
  }
  return false;
}

class GlueThreadsAccountTest : public ::testing::Test {
 protected:
  TestHttpServer server;
  TempDir dir;
};

TEST_F(GlueThreadsAccountTest, SignInTakesTheProfilesNameSavesItAndTurnsOnline) {
  testing::LogCapture log;
  server.serve("/api/account/signin",
               answer(200, json({{"token", goodToken},
                                 {"profile", {{"username", "Pilot"}, {"referralCode", "r1"}, {"invited", 3}}}})
                               .dump()));
  testing::writeFile(dir / "launcher" / "install.json", R"({"ref":"friend"})");
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "signIn"}, {"username", "pilot"}, {"password", "correct horse"}});
  EXPECT_EQ(h.app().buildState()["account"]["busy"], true);
  ASSERT_TRUE(h.pumpUntil([&] { return !h.shell().accountMessages().empty(); }));
  EXPECT_EQ(h.shell().accountMessages(), std::vector<json>{json({{"type", "account"}, {"ok", true}, {"created", false}})});
  TestHttpServer::SeenRequest seen = server.lastRequest("/api/account/signin");
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.body, R"({"password":"correct horse","username":"pilot"})") << "signing in never sends ref";
  EXPECT_EQ(seen.headers.count("authorization"), 0u);

  const json s = h.latestStateWhen([](const json& st) { return st["account"]["signedIn"] == true; });
  ASSERT_FALSE(s.is_null());
  EXPECT_EQ(s["account"]["username"], "Pilot");
  EXPECT_EQ(s["account"]["busy"], false);
  EXPECT_EQ(s["account"]["profile"]["invited"], 3);
  EXPECT_EQ(s["settings"]["online"]["enabled"], true);
  EXPECT_EQ(s["prefs"]["onboarded"], true);
  EXPECT_TRUE(loadGameSettings(settingsPath()).online.enabled) << "the settings were saved";
  EXPECT_TRUE(loadLauncherPrefs().onboarded) << "the preferences were saved";
  const AccountRecord stored = loadAccount(defaultAccountStore());
  EXPECT_EQ(stored.username, "Pilot");
  EXPECT_EQ(stored.token, goodToken);
  EXPECT_EQ(stored.server, server.url(""));
  EXPECT_NE(std::find(log.messages("info").begin(), log.messages("info").end(), "Signed in as Pilot"),
            log.messages("info").end());
}

TEST_F(GlueThreadsAccountTest, CreateSendsTheInstallersReference) {
  server.serve("/api/account/create", answer(200, json({{"token", goodToken}}).dump()));
  testing::writeFile(dir / "launcher" / "install.json", R"({"ref":"friend-7"})");
  AppHarness h(dir / "launcher", server.url(""));
  const json reply = h.accountReplyTo({{"cmd", "createAccount"}, {"username", "Ace"}, {"password", "pw"}});
  EXPECT_EQ(reply, json({{"type", "account"}, {"ok", true}, {"created", true}}));
  EXPECT_EQ(server.lastRequest("/api/account/create").body, R"({"password":"pw","ref":"friend-7","username":"Ace"})");
  EXPECT_EQ(h.app().buildState()["account"]["username"], "Ace") << "no profile: the name as typed";
}

TEST_F(GlueThreadsAccountTest, RefusalsAndFailuresReachThePageAsText) {
  struct Row {
    const char* what;
    TestResponse response;
    std::string error;
  };
  const Row rows[] = {
      {"500 with an HTML body", answer(500, "<html><body>Internal Server Error</body></html>", "text/html"),
       "That didn't work."},
      {"a refusal with its text", answer(401, R"({"error":"Wrong pilot name or password."})"),
       "Wrong pilot name or password."},
      {"200 with an error and no token", answer(200, R"({"error":"Try later."})"), "Try later."},
      {"a token that is no token text", answer(200, R"({"token":"has a space"})"), "That didn't work."},
      {"a token of another type", answer(200, R"({"token":64})"), "That didn't work."},
      {"an error of another type", answer(403, R"({"error":["x"]})"), "That didn't work."},
  };
  AppHarness h(dir / "launcher", server.url(""));
  for (const Row& r : rows) {
    server.serve("/api/account/signin", r.response);
    const json reply = h.accountReplyTo({{"cmd", "signIn"}, {"username", "a"}, {"password", "b"}});
    EXPECT_EQ(reply, json({{"type", "account"}, {"ok", false}, {"error", r.error}})) << r.what;
    EXPECT_EQ(h.app().buildState()["account"]["signedIn"], false) << r.what;
    EXPECT_EQ(h.app().buildState()["account"]["busy"], false) << r.what;
  }
  EXPECT_FALSE(fs::exists(dataFolder() / "account.json"));
}

TEST_F(GlueThreadsAccountTest, NoAnswerCantReachTheServerAndSignOutStillSignsOut) {
  std::string gone;
  {
    TestHttpServer closed;
    gone = closed.url("");
  }
  AppHarness h(dir / "launcher", gone);
  const json reply = h.accountReplyTo({{"cmd", "signIn"}, {"username", "a"}, {"password", "b"}});
  EXPECT_EQ(reply, json({{"type", "account"}, {"ok", false}, {"error", "Can't reach the server. Check your connection."}}));
  // Signing out of a server that is gone still signs out here.
  LauncherAppProbe::setAccount(h.app(), "pilot", gone, goodToken);
  EXPECT_EQ(h.toastAfter({{"cmd", "signOut"}}), "Signed out");
  EXPECT_EQ(h.app().buildState()["account"]["signedIn"], false);
}

TEST_F(GlueThreadsAccountTest, ASecondSignInWhileOneIsInFlightIsIgnored) {
  TestResponse held = answer(200, json({{"token", goodToken}}).dump());
  held.hold = true;  // the first stays in flight until the test lets it answer
  server.serve("/api/account/signin", held);
  server.serve("/api/account/create", held);
  server.serve("/api/account/signout", answer(200, "{}"));
  AppHarness h(dir / "launcher", server.url(""));
  h.command({{"cmd", "signIn"}, {"username", "first"}, {"password", "pw"}});
  ASSERT_TRUE(h.pumpUntil([&] { return server.heldCount() == 1; }));
  h.command({{"cmd", "signIn"}, {"username", "second"}, {"password", "pw"}});
  h.command({{"cmd", "createAccount"}, {"username", "third"}, {"password", "pw"}});
  server.releaseHeld();
  ASSERT_TRUE(h.pumpUntil([&] { return !h.shell().accountMessages().empty(); }));
  EXPECT_EQ(h.app().buildState()["account"]["username"], "first");
  // The next request goes out on the one account thread only once nothing is
  // in flight (while something were, it would be ignored and never toast), so
  // its toast comes after anything the ignored ones could have brought.
  EXPECT_EQ(h.toastAfter({{"cmd", "signOut"}}), "Signed out");
  EXPECT_EQ(h.shell().accountMessages().size(), 1u);
  EXPECT_EQ(server.requestCount("/api/account/signin"), 1);
  EXPECT_EQ(server.requestCount("/api/account/create"), 0);
  EXPECT_EQ(server.requestCount("/api/account/signout"), 1);
}

TEST_F(GlueThreadsAccountTest, A401OnTheCheckExpiresTheSignInAndOtherAnswersKeepIt) {
  server.serve("/api/account/signin", answer(200, json({{"token", goodToken}}).dump()));
  AppHarness h(dir / "launcher", server.url(""));
  ASSERT_EQ(h.accountReplyTo({{"cmd", "signIn"}, {"username", "pilot"}, {"password", "pw"}})["ok"], true);
  ASSERT_TRUE(fs::exists(dataFolder() / "account.json"));

  // A server in trouble: the sign-in stays.
  server.serve("/api/account/me", answer(503, "<html>busy</html>", "text/html"));
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.pumpUntil([&] { return server.requestCount("/api/account/me") == 1; }));
  ASSERT_TRUE(h.waitForCheck());
  // A sign-in made now follows the check on the one account thread, so its
  // answer comes after the check's was applied; refused, it changes nothing.
  server.serve("/api/account/signin", answer(403, R"({"error":"Not now."})"));
  EXPECT_EQ(h.accountReplyTo({{"cmd", "signIn"}, {"username", "pilot"}, {"password", "pw"}}),
            json({{"type", "account"}, {"ok", false}, {"error", "Not now."}}));
  EXPECT_EQ(server.requestCount("/api/account/me"), 1);
  EXPECT_EQ(h.app().buildState()["account"]["signedIn"], true);
  const auto toasts = h.shell().toasts();
  EXPECT_EQ(std::count(toasts.begin(), toasts.end(), std::string(signInExpiredText)), 0);
  EXPECT_EQ(server.lastRequest("/api/account/me").headers["authorization"], "Bearer " + goodToken);

  server.serve("/api/account/me", answer(401, R"({"error":"Your sign-in has expired. Sign in again."})"));
  const size_t toastsBefore = h.shell().toasts().size();
  h.command({{"cmd", "ready"}});  // the page reloaded
  ASSERT_TRUE(h.pumpUntil([&] { return h.shell().toasts().size() > toastsBefore; }));
  EXPECT_EQ(h.shell().toasts().back(), "Your sign-in has expired. Sign in again under Settings > Online.");
  const json s = h.latestStateWhen([](const json& st) { return st["account"]["signedIn"] == false; });
  ASSERT_FALSE(s.is_null());
  EXPECT_EQ(s["account"]["username"], "");
  EXPECT_FALSE(fs::exists(dataFolder() / "account.json"));
}

// A sign-in check hanging on a slow server never freezes the window: a sign-in
// made meanwhile returns at once, shows busy, and goes out once the check is back.
TEST_F(GlueThreadsAccountTest, SignInWhileTheCheckHangsNeverWaitsForIt) {
  TestResponse held = answer(200, json({{"profile", {{"username", "pilot"}}}}).dump());
  held.hold = true;
  server.serve("/api/account/me", held);
  server.serve("/api/account/signin", answer(200, json({{"token", goodToken}}).dump()));
  AppHarness h(dir / "launcher", server.url(""));
  LauncherAppProbe::setAccount(h.app(), "pilot", server.url(""), goodToken);
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.pumpUntil([&] { return server.heldCount() == 1; }));

  int checkPort = 0;
  for (const TestHttpServer::LoggedRequest& r : server.requestLog()) {
    if (r.path == "/api/account/me") checkPort = r.clientPort;
  }
  ASSERT_NE(checkPort, 0);
  ASSERT_TRUE(connectionEstablished(checkPort, server.port())) << "the check's connection is not to be seen";

  h.command({{"cmd", "signIn"}, {"username", "other"}, {"password", "pw"}});
  h.command({{"cmd", "ready"}});  // a reload asks for a check again: one is out already
  // The commands have returned while the check still waits: its answer is
  // held, and its client has not given up (a check can end only so). Had
  // either command waited for the account thread, it could not be.
  EXPECT_EQ(server.heldCount(), 1) << "the check's answer went out";
  EXPECT_TRUE(connectionEstablished(checkPort, server.port())) << "a command waited for the account thread";
  EXPECT_EQ(h.app().buildState()["account"]["busy"], true);
  EXPECT_EQ(server.requestCount("/api/account/signin"), 0) << "the sign-in waits for the check";

  server.releaseHeld();
  ASSERT_TRUE(h.pumpUntil([&] { return !h.shell().accountMessages().empty(); }));
  EXPECT_EQ(h.shell().accountMessages().front(), json({{"type", "account"}, {"ok", true}, {"created", false}}));
  EXPECT_EQ(server.requestCount("/api/account/me"), 1);
  EXPECT_EQ(server.requestCount("/api/account/signin"), 1);
  const json s = h.latestStateWhen([](const json& st) { return st["account"]["busy"] == false; });
  ASSERT_FALSE(s.is_null());
  EXPECT_EQ(s["account"]["username"], "other");
}

// The feed was changed since the sign-in: its token is never sent to the new
// server, and signing out happens here only.
TEST_F(GlueThreadsAccountTest, ATokenGoesOnlyToTheServerThatIssuedIt) {
  TestHttpServer issuer;
  AppHarness h(dir / "launcher", server.url(""));
  // As loaded from an account.json written while the feed was the issuer.
  LauncherAppProbe::setAccount(h.app(), "pilot", issuer.url(""), goodToken);
  EXPECT_EQ(h.app().buildState()["account"]["signedIn"], true);
  h.command({{"cmd", "ready"}});
  ASSERT_TRUE(h.waitForCheck());
  EXPECT_EQ(h.toastAfter({{"cmd", "signOut"}}), "Signed out");
  EXPECT_EQ(h.app().buildState()["account"]["signedIn"], false);
  for (const TestHttpServer* s : {&server, &issuer}) {
    EXPECT_EQ(s->requestCount("/api/account/me"), 0);
    EXPECT_EQ(s->requestCount("/api/account/signout"), 0);
  }
}

// Signing out of the server that issued the token: the token goes with the
// request, and the sign-in ends here whatever the server answers.
TEST_F(GlueThreadsAccountTest, SignOutSendsTheTokenAndSignsOutWhateverTheAnswer) {
  server.serve("/api/account/signin", answer(200, json({{"token", goodToken}}).dump()));
  server.serve("/api/account/signout", answer(500, "<html>down</html>", "text/html"));
  AppHarness h(dir / "launcher", server.url(""));
  ASSERT_EQ(h.accountReplyTo({{"cmd", "signIn"}, {"username", "pilot"}, {"password", "pw"}})["ok"], true);
  EXPECT_EQ(h.toastAfter({{"cmd", "signOut"}}), "Signed out");
  TestHttpServer::SeenRequest seen = server.lastRequest("/api/account/signout");
  EXPECT_EQ(seen.body, "{}");
  EXPECT_EQ(seen.headers["authorization"], "Bearer " + goodToken);
  const json s = h.latestStateWhen([](const json& st) { return st["account"]["signedIn"] == false; });
  ASSERT_FALSE(s.is_null());
  EXPECT_EQ(s["account"]["profile"], json::object());
  EXPECT_FALSE(fs::exists(dataFolder() / "account.json"));
}

}  // namespace
}  // namespace launcher
