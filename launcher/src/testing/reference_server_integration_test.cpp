// The reference-server helper itself: gunicorn behind nginx comes up, answers
// the account API through the launcher's own HTTP calls, survives a stop and
// start of the application, and ends when its test process dies.
#include "testing/reference_server.h"
#include "testing/temp_dir.h"
#include "update/http.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::ReferenceServer;
using testing::ReferenceServerOptions;
using testing::TempDir;

struct Answer {
  int status = 0;
  std::string text;
  json body;
};

Answer call(const ReferenceServer& server, const std::string& method, const std::string& path,
            const std::string& body, const std::string& token = {}) {
  Answer a;
  std::string error;
  EXPECT_TRUE(sendJsonRequest(method, server.url(path), body, token, a.text, a.status, error)) << error;
  a.body = json::parse(a.text, nullptr, false);
  return a;
}

bool isHexToken(const json& value) {
  if (!value.is_string() || value.get<std::string>().size() != 64) return false;
  for (char c : value.get<std::string>()) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The database with its write-ahead log: every byte SQLite keeps.
std::string storedBytes(const ReferenceServer& server) {
  std::string all;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    all += testing::readFile(server.databasePath().string() + suffix);
  }
  return all;
}

// Processes of the group that have not ended (zombies waiting for a reaper
// have ended: they hold nothing and run nothing).
int liveProcessesInGroup(int group) {
  int live = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;  // not a process
    // getline, not a stream-buffer iterator: reading the file of a process
    // that has just ended fails (ESRCH), and only the stream turns that into
    // a failed read instead of an exception.
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    const auto close = stat.rfind(')');  // the command name may hold spaces and parentheses
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    char state = 0;
    int parent = 0, processGroup = 0;
    if (fields >> state >> parent >> processGroup && processGroup == group && state != 'Z' && state != 'X') ++live;
  }
  return live;
}

class ReferenceServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ReferenceServer::available()) {
      GTEST_SKIP() << "nginx and gunicorn are needed (scripts/setup.sh installs them)";
    }
    testing::writeFile(dir_ / "feed/stable/latest.json", latest_);
  }

  TempDir dir_;
  const std::string latest_ = R"({"game":{"build":3,"version":"1.2.0"}})";
};

TEST_F(ReferenceServerTest, ServesTheFeedAndTheAccountApiThroughNginx) {
  ReferenceServerOptions options;
  options.name = "Kestrel";
  options.address = "play.example:4000";
  options.maxPlayers = 12;
  options.playerCount = 5;
  ReferenceServer server(VANTOR_SOURCE_DIR, dir_ / "feed", options);
  ASSERT_TRUE(server.started()) << server.error();

  std::string body, error;
  ASSERT_TRUE(fetchText(server.url("/stable/latest.json"), body, error)) << error;
  EXPECT_EQ(body, latest_);

  ASSERT_TRUE(fetchText(server.url("/api/status"), body, error)) << error;
  EXPECT_EQ(json::parse(body, nullptr, false),
            json({{"name", "Kestrel"}, {"address", "play.example:4000"}, {"maxPlayers", 12}, {"playerCount", 5}}));

  // Create, as the launcher sends it: compact, keys in order.
  Answer created =
      call(server, "POST", "/api/account/create", R"({"password":"correct horse","ref":"","username":"Pilot"})");
  ASSERT_EQ(created.status, 200) << created.text;
  ASSERT_TRUE(isHexToken(created.body["token"])) << created.text;
  const std::string firstToken = created.body["token"];
  const json profile = created.body["profile"];
  EXPECT_EQ(profile["username"], "Pilot");
  ASSERT_TRUE(profile["referralCode"].is_string());
  EXPECT_EQ(profile["invited"], 0);

  Answer taken =
      call(server, "POST", "/api/account/create", R"({"password":"correct horse","ref":"","username":"PILOT"})");
  EXPECT_EQ(taken.status, 409);
  EXPECT_EQ(taken.body["error"], "That pilot name is taken. Pick another one.");

  const std::string invite = json({{"password", "correct horse"},
                                   {"ref", profile["referralCode"]},
                                   {"username", "Wingmate"}})
                                 .dump();
  ASSERT_EQ(call(server, "POST", "/api/account/create", invite).status, 200);

  Answer wrong = call(server, "POST", "/api/account/signin", R"({"password":"wrong horse","username":"Pilot"})");
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(wrong.body["error"], "Wrong pilot name or password.");

  // Signing in in another letter case: the profile carries the account's name.
  Answer signedIn = call(server, "POST", "/api/account/signin", R"({"password":"correct horse","username":"pilot"})");
  ASSERT_EQ(signedIn.status, 200) << signedIn.text;
  ASSERT_TRUE(isHexToken(signedIn.body["token"]));
  const std::string token = signedIn.body["token"];
  EXPECT_NE(token, firstToken);
  EXPECT_EQ(signedIn.body["profile"]["username"], "Pilot");

  Answer me = call(server, "GET", "/api/account/me", "", token);
  ASSERT_EQ(me.status, 200) << me.text;
  EXPECT_EQ(me.body["profile"]["username"], "Pilot");
  EXPECT_EQ(me.body["profile"]["invited"], 1);

  const std::string stored = storedBytes(server);
  EXPECT_FALSE(stored.empty());
  EXPECT_EQ(stored.find(token), std::string::npos);
  EXPECT_EQ(stored.find(firstToken), std::string::npos);
  EXPECT_EQ(stored.find("correct horse"), std::string::npos);

  EXPECT_EQ(call(server, "POST", "/api/account/signout", "{}", token).status, 200);
  EXPECT_EQ(call(server, "GET", "/api/account/me", "", token).status, 401);
  EXPECT_EQ(call(server, "GET", "/api/account/me", "", firstToken).status, 200);
}

TEST_F(ReferenceServerTest, StoppedApplicationLeavesNginxAnsweringWithItsOwnPage) {
  ReferenceServer server(VANTOR_SOURCE_DIR, dir_ / "feed");
  ASSERT_TRUE(server.started()) << server.error();
  Answer created =
      call(server, "POST", "/api/account/create", R"({"password":"correct horse","ref":"","username":"Pilot"})");
  ASSERT_EQ(created.status, 200) << created.text;

  server.stopApplication();
  EXPECT_FALSE(server.started());
  Answer down = call(server, "GET", "/api/status", "");
  EXPECT_EQ(down.status, 502);
  EXPECT_NE(down.text.find("<html>"), std::string::npos) << down.text;
  std::string body, error;
  ASSERT_TRUE(fetchText(server.url("/stable/latest.json"), body, error)) << error;

  // Back on the same data: the account and its sign-in are still there.
  ASSERT_TRUE(server.startApplication()) << server.error();
  EXPECT_TRUE(server.started());
  EXPECT_EQ(call(server, "GET", "/api/account/me", "", created.body["token"]).status, 200);
}

TEST_F(ReferenceServerTest, TokenLifetimeOptionExpiresSignIns) {
  ReferenceServerOptions options;
  options.tokenLifetimeSeconds = 1;
  options.address = "";
  ReferenceServer server(VANTOR_SOURCE_DIR, dir_ / "feed", options);
  ASSERT_TRUE(server.started()) << server.error();
  Answer status = call(server, "GET", "/api/status", "");
  EXPECT_FALSE(status.body.contains("address")) << status.text;

  Answer created =
      call(server, "POST", "/api/account/create", R"({"password":"correct horse","ref":"","username":"Pilot"})");
  ASSERT_EQ(created.status, 200) << created.text;
  // The server counts whole seconds: two seconds later the token has expired
  // whatever the rounding.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  Answer me = call(server, "GET", "/api/account/me", "", created.body["token"]);
  EXPECT_EQ(me.status, 401);
  EXPECT_TRUE(me.body["error"].is_string()) << me.text;
}

// A test process that dies without its destructors (a crash, SIGKILL) must
// not leave nginx or gunicorn behind.
TEST_F(ReferenceServerTest, ServersEndWhenTheTestProcessDies) {
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipeFds[0]);
    std::string report;
    {
      auto* server = new ReferenceServer(VANTOR_SOURCE_DIR, dir_ / "feed");  // never destroyed
      report = server->started() ? server->base() + "\n" + std::to_string(server->applicationPid()) + "\n" +
                                       server->applicationSocket().parent_path().string() + "\n"
                                 : "error\n" + server->error() + "\n\n";
    }
    (void)!::write(pipeFds[1], report.data(), report.size());
    ::close(pipeFds[1]);
    ::pause();  // until the parent kills this process
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string report;
  char buffer[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::count(report.begin(), report.end(), '\n') < 3 && std::chrono::steady_clock::now() < deadline) {
    pollfd p{pipeFds[0], POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) continue;
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    report.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);

  std::istringstream lines(report);
  std::string base, pidText, prefix;
  std::getline(lines, base);
  std::getline(lines, pidText);
  std::getline(lines, prefix);
  ASSERT_FALSE(base.empty()) << "the child reported nothing";
  ASSERT_NE(base, "error") << report;
  const int group = std::atoi(pidText.c_str());
  ASSERT_GT(group, 0) << report;

  // Both get SIGTERM from the kernel: nginx stops answering, and gunicorn's
  // master ends with every worker of its group.
  bool nginxGone = false;
  int applicationLeft = -1;
  const auto stopDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < stopDeadline) {
    std::string body, error;
    nginxGone = !fetchText(base + "/stable/latest.json", body, error) &&
                error.find("Can't reach") != std::string::npos;
    applicationLeft = liveProcessesInGroup(group);
    if (nginxGone && applicationLeft == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(nginxGone) << base << " still answers";
  EXPECT_EQ(applicationLeft, 0) << "gunicorn processes left in group " << group;
  // The folder its destructor would have removed; nothing can write to it now.
  std::error_code ec;
  fs::remove_all(prefix, ec);
}

}  // namespace
}  // namespace launcher
