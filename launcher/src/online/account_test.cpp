#include "online/account.h"

#include "online/usage_event.h"
#include "testing/log_capture.h"
#include "testing/linux_only.h"
#include "testing/temp_dir.h"
#include "testing/test_http_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::readFile;
using testing::TestHttpServer;
using testing::TestResponse;
using testing::writeFile;

const std::string token64 = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
// Nothing listens on port 1 of the loopback: a request there gets no answer.
const std::string deadServer = "http://127.0.0.1:1";

TestResponse jsonAnswer(int status, const json& body) {
  TestResponse r;
  r.status = status;
  r.body = body.dump();
  r.contentType = "application/json";
  return r;
}

class AccountTest : public ::testing::Test {
 protected:
  AccountRecord signedIn(const std::string& server) {
    AccountRecord account;
    account.username = "Ace";
    account.server = server;
    account.token = token64;
    return account;
  }

  // The whole round: plan, request on this thread, finish.
  AccountOutcome run(AccountRecord& account, AccountMode mode, const std::string& user, const std::string& password,
                     const std::string& server, const std::string& ref = "") {
    AccountPlan plan = planAccountRequest(account, mode, user, password, server, ref);
    EXPECT_EQ(plan.step, AccountStep::Start);
    account.busy = true;
    AccountAnswer answer = runAccountRequest(plan.request);
    return finishAccountRequest(account, answer, store_);
  }

  // Every file under the data and config folders, searched for `needle`.
  bool anyFileHolds(const std::string& needle) {
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      if (entry.is_regular_file() && readFile(entry.path()).find(needle) != std::string::npos) return true;
    }
    return false;
  }

  testing::TempDir dir_;
  AccountStore store_{dir_ / "data" / "account.json",
                      {dir_ / "config" / "vantor" / "session.key", "0123456789abcdef0123456789abcdef"}};
  TestHttpServer server_;
  std::string base_ = server_.url("");

  void SetUp() override { fs::create_directories(store_.file.parent_path()); }
};

TEST(AccountServerTest, OnlyHttpFeedsHaveAccounts) {
  EXPECT_EQ(accountServerFor("https://updates.example.com"), "https://updates.example.com");
  EXPECT_EQ(accountServerFor("http://127.0.0.1:8080/feed"), "http://127.0.0.1:8080/feed");
  for (const char* local : {"", "file:///srv/feed", "/srv/feed", "C:\\feed", "HTTP://x"}) {
    EXPECT_EQ(accountServerFor(local), "") << local;
  }
  // A password would cross the network in clear text.
  for (const char* clear : {"http://updates.example.com", "http://10.0.0.5/feed", "http://localhost:8080",
                            "http://127.0.0.1.example.com/feed"}) {
    EXPECT_EQ(accountServerFor(clear), "") << clear;
  }
}

TEST(AccountStateTest, SignedInNeedsANameAndA64CharacterToken) {
  AccountRecord account;
  account.username = "Ace";
  for (size_t length : {63u, 65u, 0u}) {
    account.token = std::string(length, 'a');
    EXPECT_FALSE(accountStateJson(account, "http://s")["signedIn"]) << length;
  }
  account.token = std::string(63, 'a') + " ";
  EXPECT_FALSE(isSignedIn(account));
  account.token = token64;
  json state = accountStateJson(account, "http://s");
  EXPECT_EQ(state, (json{{"available", true},
                         {"signedIn", true},
                         {"username", "Ace"},
                         {"busy", false},
                         {"profile", json::object()},
                         {"site", "http://s/install/"}}));
  account.username.clear();
  EXPECT_FALSE(isSignedIn(account));
  json local = accountStateJson(account, "");
  EXPECT_EQ(local["available"], false);
  EXPECT_EQ(local["site"], "");
}

TEST_F(AccountTest, SavedSignInLoadsBackAndNeverHoldsTheTokenInClear) {
  AccountRecord account = signedIn(base_);
  account.profile = {{"referralCode", "ABC"}};
  ASSERT_TRUE(saveAccount(account, store_));
  EXPECT_FALSE(anyFileHolds(token64));
  json file = json::parse(readFile(store_.file));
  EXPECT_EQ(file.size(), 3u);
  EXPECT_EQ(file["server"], base_);
  EXPECT_EQ(file["username"], "Ace");
  EXPECT_FALSE(fs::exists(fs::path(store_.file.string() + ".tmp")));

  AccountRecord loaded = loadAccount(store_);
  EXPECT_EQ(loaded.username, "Ace");
  EXPECT_EQ(loaded.server, base_);
  EXPECT_EQ(loaded.token, token64);
  EXPECT_EQ(loaded.profile, json::object());  // never stored

  // The data-protection API binds the text to this user, not to a key file
  // and a machine id the test can change.
  if (!testing::onLinux()) return;
  AccountStore elsewhere = store_;
  elsewhere.key.machineId = "another machine";
  AccountRecord moved = loadAccount(elsewhere);
  EXPECT_EQ(moved.username, "");
  EXPECT_EQ(moved.token, "");
  EXPECT_EQ(moved.server, "");
}

// The stored sign-in is the owner's only: written 0600 whatever the umask
// lets a plain file be, and an older copy others could read is made so when
// it is loaded.
TEST_F(AccountTest, TheFileIsReadableByItsOwnerOnly) {
  VANTOR_LINUX_ONLY("mode bits (the Windows build keeps files private by their access lists)");
  ASSERT_TRUE(saveAccount(signedIn(base_), store_));
  EXPECT_EQ(fs::status(store_.file).permissions() & fs::perms::all, fs::perms(0600));
  fs::permissions(store_.file, fs::perms(0644));
  ASSERT_TRUE(saveAccount(signedIn(base_), store_));
  EXPECT_EQ(fs::status(store_.file).permissions() & fs::perms::all, fs::perms(0600));
  fs::permissions(store_.file, fs::perms(0664));
  EXPECT_EQ(loadAccount(store_).token, token64);
  EXPECT_EQ(fs::status(store_.file).permissions() & fs::perms::all, fs::perms(0600));
  // The ".tmp" companion is never written through a link planted there.
  const fs::path planted = dir_ / "planted";
  writeFile(planted, "untouched");
  fs::create_symlink(planted, fs::path(store_.file.string() + ".tmp"));
  EXPECT_FALSE(saveAccount(signedIn(base_), store_));
  EXPECT_EQ(readFile(planted), "untouched");
  EXPECT_EQ(loadAccount(store_).token, token64) << "a failed save harmed the stored sign-in";
}

// A key someone else may know: the player is signed out, the stored sign-in
// and the key are gone, and the next sign-in makes a new key.
TEST_F(AccountTest, AKeyFileThatIsNotPrivateSignsThePlayerOut) {
  VANTOR_LINUX_ONLY("mode bits and the key file (the Windows build's key is kept by the system's data protection)");
  ASSERT_TRUE(saveAccount(signedIn(base_), store_));
  fs::permissions(store_.key.keyFile, fs::perms(0640));
  testing::LogCapture log;
  AccountRecord loaded = loadAccount(store_);
  EXPECT_FALSE(isSignedIn(loaded));
  EXPECT_EQ(loaded.username, "");
  EXPECT_FALSE(fs::exists(store_.file));
  EXPECT_FALSE(fs::exists(store_.key.keyFile));
  ASSERT_EQ(log.warnings().size(), 1u);
  EXPECT_NE(log.warnings()[0].find("the sign-in dropped"), std::string::npos) << log.warnings()[0];
  ASSERT_TRUE(saveAccount(signedIn(base_), store_));
  EXPECT_EQ(fs::status(store_.key.keyFile).permissions() & fs::perms::all, fs::perms(0600));
  EXPECT_EQ(loadAccount(store_).token, token64);
}

TEST_F(AccountTest, DamagedOrForeignFilesLoadSignedOut) {
  AccountRecord account = signedIn(base_);
  ASSERT_TRUE(saveAccount(account, store_));
  json good = json::parse(readFile(store_.file));
  json plainToken = good;
  plainToken["token"] = token64;  // someone wrote it in clear
  json numberName = good;
  numberName["username"] = 7;
  json noName = good;
  noName.erase("username");
  for (const json& bad : {plainToken, numberName, noName, json::array(), json("text")}) {
    writeFile(store_.file, bad.dump());
    AccountRecord loaded = loadAccount(store_);
    EXPECT_FALSE(isSignedIn(loaded)) << bad.dump();
    EXPECT_EQ(loaded.username, "") << bad.dump();
  }
  writeFile(store_.file, "{not json");
  EXPECT_EQ(loadAccount(store_).username, "");
  fs::remove(store_.file);
  EXPECT_EQ(loadAccount(store_).username, "");
  // A short token is saved as the server gave it, but loads signed out.
  AccountRecord shortToken = signedIn(base_);
  shortToken.token.pop_back();
  ASSERT_TRUE(saveAccount(shortToken, store_));
  EXPECT_EQ(loadAccount(store_).username, "");
}

TEST_F(AccountTest, PlansFollowTheServerAndTheBusyFlag) {
  AccountRecord account;
  AccountPlan noServer = planAccountRequest(account, AccountMode::SignIn, "ace", "pw", "", "");
  EXPECT_EQ(noServer.step, AccountStep::Reply);
  EXPECT_EQ(noServer.pageMessage,
            (json{{"type", "account"}, {"ok", false}, {"error", "This copy has no server to sign in to."}}));

  account.busy = true;
  EXPECT_EQ(planAccountRequest(account, AccountMode::SignIn, "ace", "pw", base_, "").step, AccountStep::Ignore);
  EXPECT_EQ(planAccountRequest(account, AccountMode::SignOut, "", "", base_, "").step, AccountStep::Ignore);

  account = signedIn(base_);
  AccountPlan signIn = planAccountRequest(account, AccountMode::SignIn, "ace", "pw", base_, "REF");
  EXPECT_EQ(signIn.step, AccountStep::Start);
  EXPECT_EQ(signIn.request.token, "");
  EXPECT_EQ(signIn.request.ref, "");  // only a new account carries the referral
  EXPECT_EQ(planAccountRequest(account, AccountMode::Create, "ace", "pw", base_, "REF").request.ref, "REF");

  AccountPlan signOut = planAccountRequest(account, AccountMode::SignOut, "", "", base_, "");
  EXPECT_EQ(signOut.step, AccountStep::Start);
  EXPECT_EQ(signOut.request.token, token64);

  // The feed moved to another server: the token stays home.
  for (const std::string& now : {std::string("http://other.example"), std::string()}) {
    AccountPlan local = planAccountRequest(account, AccountMode::SignOut, "", "", now, "");
    EXPECT_EQ(local.step, AccountStep::FinishLocally) << now;
    EXPECT_EQ(local.request.token, "") << now;
  }
}

TEST_F(AccountTest, SignInStoresTheSignInAndTheProfilesNameWins) {
  testing::LogCapture log;
  server_.serve("/api/account/signin",
                jsonAnswer(200, {{"token", token64},
                                 {"profile", {{"username", "Ace"}, {"referralCode", "R1"}, {"invited", 2}}}}));
  AccountRecord account;
  AccountOutcome outcome = run(account, AccountMode::SignIn, "ace", "pass word", base_, "REF");
  EXPECT_EQ(outcome.pageMessage, (json{{"type", "account"}, {"ok", true}, {"created", false}}));
  EXPECT_EQ(outcome.toast, "");
  EXPECT_TRUE(outcome.enableOnline);
  EXPECT_TRUE(outcome.setOnboarded);
  EXPECT_FALSE(account.busy);
  EXPECT_EQ(account.username, "Ace");
  EXPECT_EQ(account.server, base_);
  EXPECT_EQ(account.profile["referralCode"], "R1");
  EXPECT_EQ(log.messages("info"), std::vector<std::string>{"Signed in as Ace"});

  TestHttpServer::SeenRequest seen = server_.lastRequest("/api/account/signin");
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.body, R"({"password":"pass word","username":"ace"})");
  EXPECT_EQ(seen.headers.count("authorization"), 0u);
  EXPECT_EQ(seen.headers["content-type"], "application/json");

  EXPECT_TRUE(isSignedIn(loadAccount(store_)));
  EXPECT_FALSE(anyFileHolds(token64));
}

TEST_F(AccountTest, CreateSendsTheReferralAndSaysCreated) {
  server_.serve("/api/account/create", jsonAnswer(200, {{"token", token64}}));
  AccountRecord account;
  AccountOutcome outcome = run(account, AccountMode::Create, "newbie", "pw", base_, "FRIEND-7");
  EXPECT_EQ(outcome.pageMessage["created"], true);
  EXPECT_EQ(server_.lastRequest("/api/account/create").body,
            R"({"password":"pw","ref":"FRIEND-7","username":"newbie"})");
  EXPECT_EQ(account.username, "newbie");  // no profile: the name as typed
  EXPECT_EQ(account.profile, json::object());
}

TEST_F(AccountTest, AnswersThatAreNotASignIn) {
  TestResponse html;
  html.status = 500;
  html.body = "<html><body>Internal Server Error</body></html>";
  html.contentType = "text/html";
  struct Case {
    const char* what;
    TestResponse answer;
    std::string error;
  };
  const Case cases[] = {
      {"refused with a reason", jsonAnswer(401, {{"error", "Wrong name or password."}}), "Wrong name or password."},
      {"200 with an error and no token", jsonAnswer(200, {{"error", "Name taken."}}), "Name taken."},
      {"500 with an HTML body", html, "That didn't work."},
      {"an error that is not text", jsonAnswer(400, {{"error", 42}}), "That didn't work."},
      {"a token that is a number", jsonAnswer(200, {{"token", 12345}}), "That didn't work."},
      {"a token with a space", jsonAnswer(200, {{"token", std::string(32, 'a') + " " + std::string(31, 'a')}}),
       "That didn't work."},
      {"a token with a control character",
       jsonAnswer(200, {{"token", std::string(32, 'a') + "\n" + std::string(31, 'a')}}), "That didn't work."},
      {"a token that is not ASCII", jsonAnswer(200, {{"token", std::string(62, 'a') + "é"}}), "That didn't work."},
      {"an empty token", jsonAnswer(200, {{"token", ""}}), "That didn't work."},
      {"a token with the wrong status", jsonAnswer(201, {{"token", token64}}), "That didn't work."},
      {"an array", jsonAnswer(200, json::array({token64})), "That didn't work."},
  };
  for (const Case& c : cases) {
    server_.serve("/api/account/signin", c.answer);
    AccountRecord account;
    AccountOutcome outcome = run(account, AccountMode::SignIn, "ace", "pw", base_);
    EXPECT_EQ(outcome.pageMessage, (json{{"type", "account"}, {"ok", false}, {"error", c.error}})) << c.what;
    EXPECT_FALSE(outcome.enableOnline) << c.what;
    EXPECT_EQ(account.username, "") << c.what;
    EXPECT_FALSE(account.busy) << c.what;
    EXPECT_FALSE(fs::exists(store_.file)) << c.what;
  }
}

TEST_F(AccountTest, ProfileMembersOfTheWrongTypeAreIgnored) {
  for (const json& profile : {json("Ace"), json::array({"Ace"}), json{{"username", 5}}, json{{"username", ""}}}) {
    server_.serve("/api/account/signin", jsonAnswer(200, {{"token", token64}, {"profile", profile}}));
    AccountRecord account;
    AccountOutcome outcome = run(account, AccountMode::SignIn, "typed", "pw", base_);
    EXPECT_EQ(outcome.pageMessage["ok"], true) << profile.dump();
    EXPECT_EQ(account.username, "typed") << profile.dump();
    EXPECT_TRUE(account.profile.is_object()) << profile.dump();
  }
}

// What the page reads of the profile ("referralCode" as text for the invite
// link, "invited" as a count) is passed on only when of that type, by the
// sign-in and by the check alike; anything else a server sends is dropped.
TEST_F(AccountTest, ProfileMembersReachThePageOnlyWhenOfTheirType) {
  struct Case {
    json profile;
    json kept;
  };
  const Case cases[] = {
      {{{"username", "Ace"}, {"referralCode", "R1"}, {"invited", 2}},
       {{"username", "Ace"}, {"referralCode", "R1"}, {"invited", 2}}},
      {{{"referralCode", 17}, {"invited", "2"}}, json::object()},
      {{{"referralCode", json::array({"R1"})}, {"invited", -1}}, json::object()},
      {{{"referralCode", json{{"code", "R1"}}}, {"invited", 2.5}}, json::object()},
      {{{"referralCode", nullptr}, {"invited", true}}, json::object()},
      {{{"referralCode", ""}, {"invited", 0}}, {{"referralCode", ""}, {"invited", 0}}},
      {{{"invited", 18446744073709551615u}}, {{"invited", 18446744073709551615u}}},
      {{{"installs", 4}, {"script", "<img src=x onerror=alert(1)>"}}, json::object()},
  };
  for (const Case& c : cases) {
    server_.serve("/api/account/signin", jsonAnswer(200, {{"token", token64}, {"profile", c.profile}}));
    AccountRecord account;
    AccountOutcome outcome = run(account, AccountMode::SignIn, "Ace", "pw", base_);
    EXPECT_EQ(outcome.pageMessage["ok"], true) << c.profile.dump();
    EXPECT_EQ(account.profile, c.kept) << "sign-in: " << c.profile.dump();
    EXPECT_EQ(accountStateJson(account, base_)["profile"], c.kept) << c.profile.dump();

    account.profile = {{"referralCode", "OLD"}, {"invited", 1}};
    server_.serve("/api/account/me", jsonAnswer(200, {{"profile", c.profile}}));
    (void)finishAccountCheck(account, runAccountCheck(base_, account.token), store_);
    EXPECT_EQ(account.profile, c.kept) << "check: " << c.profile.dump();
  }
}

TEST_F(AccountTest, ShortTokenIsKeptButIsNoSignIn) {
  server_.serve("/api/account/signin", jsonAnswer(200, {{"token", token64.substr(1)}}));
  AccountRecord account;
  AccountOutcome outcome = run(account, AccountMode::SignIn, "ace", "pw", base_);
  EXPECT_EQ(outcome.pageMessage["ok"], true);
  EXPECT_FALSE(isSignedIn(account));
  EXPECT_TRUE(fs::exists(store_.file));
  EXPECT_FALSE(isSignedIn(loadAccount(store_)));
}

TEST_F(AccountTest, NoAnswerCannotReachTheServer) {
  AccountRecord account;
  AccountOutcome outcome = run(account, AccountMode::SignIn, "ace", "pw", deadServer);
  EXPECT_EQ(outcome.pageMessage,
            (json{{"type", "account"}, {"ok", false}, {"error", "Can't reach the server. Check your connection."}}));
}

TEST_F(AccountTest, SignOutSendsTheTokenAndSignsOutWhateverTheAnswer) {
  for (const std::string& server : {base_, deadServer}) {
    AccountRecord account = signedIn(server);
    account.profile = {{"referralCode", "R"}};
    ASSERT_TRUE(saveAccount(account, store_));
    AccountOutcome outcome = run(account, AccountMode::SignOut, "", "", server);
    EXPECT_EQ(outcome.toast, "Signed out") << server;
    EXPECT_TRUE(outcome.pageMessage.is_null()) << server;
    EXPECT_EQ(account.username, "") << server;
    EXPECT_EQ(account.token, "") << server;
    EXPECT_EQ(account.profile, json::object()) << server;
    EXPECT_FALSE(fs::exists(store_.file)) << server;
  }
  TestHttpServer::SeenRequest seen = server_.lastRequest("/api/account/signout");
  EXPECT_EQ(seen.body, "{}");
  EXPECT_EQ(seen.headers["authorization"], "Bearer " + token64);
}

TEST_F(AccountTest, TheTokenNeverGoesToAnotherServer) {
  TestHttpServer oldServer;
  AccountRecord account = signedIn(oldServer.url(""));
  ASSERT_TRUE(saveAccount(account, store_));
  // The feed (and so the account server) changed to server_.
  EXPECT_FALSE(shouldCheckAccount(account, base_));
  AccountPlan plan = planAccountRequest(account, AccountMode::SignOut, "", "", base_, "");
  ASSERT_EQ(plan.step, AccountStep::FinishLocally);
  AccountOutcome outcome = finishAccountRequest(account, plan.localAnswer, store_);
  EXPECT_EQ(outcome.toast, "Signed out");
  EXPECT_FALSE(fs::exists(store_.file));
  EXPECT_EQ(server_.requestCount("/api/account/signout"), 0);
  EXPECT_EQ(server_.requestCount("/api/account/me"), 0);
  EXPECT_EQ(oldServer.requestCount("/api/account/signout"), 0);
}

TEST_F(AccountTest, SignInCheck) {
  AccountRecord account = signedIn(base_);
  account.profile = {{"referralCode", "OLD"}};
  ASSERT_TRUE(shouldCheckAccount(account, base_));

  server_.serve("/api/account/me", jsonAnswer(200, {{"profile", {{"referralCode", "NEW"}, {"invited", 3}}}}));
  AccountOutcome ok = finishAccountCheck(account, runAccountCheck(base_, account.token), store_);
  EXPECT_EQ(ok.toast, "");
  EXPECT_EQ(account.profile["referralCode"], "NEW");
  EXPECT_EQ(server_.lastRequest("/api/account/me").headers["authorization"], "Bearer " + token64);
  EXPECT_EQ(server_.lastRequest("/api/account/me").method, "GET");

  for (const TestResponse& other : {jsonAnswer(500, {{"error", "x"}}), jsonAnswer(200, {{"profile", "text"}}),
                                    jsonAnswer(403, json::object())}) {
    server_.serve("/api/account/me", other);
    AccountOutcome nothing = finishAccountCheck(account, runAccountCheck(base_, account.token), store_);
    EXPECT_EQ(nothing.toast, "");
    EXPECT_TRUE(isSignedIn(account));
    EXPECT_EQ(account.profile["referralCode"], "NEW");
  }
  AccountAnswer unanswered = runAccountCheck(deadServer, account.token);
  EXPECT_FALSE(unanswered.answered);

  // An answer about a sign-in that has since changed is not applied.
  server_.serve("/api/account/me", jsonAnswer(401, {{"error", "expired"}}));
  AccountAnswer stale = runAccountCheck(base_, std::string(64, 'z'));
  EXPECT_EQ(finishAccountCheck(account, stale, store_).toast, "");
  EXPECT_TRUE(isSignedIn(account));

  ASSERT_TRUE(saveAccount(account, store_));
  AccountOutcome expired = finishAccountCheck(account, runAccountCheck(base_, account.token), store_);
  EXPECT_EQ(expired.toast, "Your sign-in has expired. Sign in again under Settings > Online.");
  EXPECT_FALSE(isSignedIn(account));
  EXPECT_EQ(account.profile["referralCode"], "NEW");  // the profile stays until a new answer
  EXPECT_FALSE(fs::exists(store_.file));
}

TEST(UsageEventTest, BodyIsCompactAndSorted) {
  EXPECT_EQ(usageEventBody("install", "FRIEND"), R"({"event":"install","ref":"FRIEND","version":"1.0.0"})");
  EXPECT_EQ(usageEventBody("install", ""), R"({"event":"install","ref":"","version":"1.0.0"})");
}

TEST(UsageEventTest, SentWithoutTokenAndNothingWithoutAServer) {
  TestHttpServer server;
  server.serve("/api/event", jsonAnswer(200, json::object()));
  EXPECT_FALSE(sendUsageEvent("", "install", "x"));
  EXPECT_TRUE(sendUsageEvent(server.url(""), "install", "REF"));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (usageEventsInFlight() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(usageEventsInFlight(), 0);
  ASSERT_EQ(server.requestCount("/api/event"), 1);
  TestHttpServer::SeenRequest seen = server.lastRequest("/api/event");
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.body, R"({"event":"install","ref":"REF","version":"1.0.0"})");
  EXPECT_EQ(seen.headers.count("authorization"), 0u);
  // An unreachable server is no error the caller could see.
  sendUsageEventNow(deadServer, "install", "");
}

TEST(UsageEventTest, OncePerProcessLetsOneCallerThrough) {
  OncePerProcess once;
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (once.claim()) ++winners;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(winners.load(), 1);
  EXPECT_FALSE(once.claim());
}

}  // namespace
}  // namespace launcher
