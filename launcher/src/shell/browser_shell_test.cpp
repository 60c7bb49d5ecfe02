#include "shell/browser_shell.h"

#include "base/ui_queue.h"
#include "shell/request_checks.h"
#include "testing/linux_only.h"
#include "testing/raw_connection.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>
#include <httplib.h>
#ifndef _WIN32
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace launcher {
namespace {

using testing::RawConnection;
using testing::TempDir;
using testing::writeFile;

// A browser-mode shell on a free port with a page folder of its own; the test
// is its UI thread and pumps the queue by hand.
class BrowserShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(page_ / "index.html", "<!doctype html><html><head><title>t</title></head><body>page</body></html>");
    writeFile(page_ / "launcher.js", "// script");
    shell_ = std::make_unique<BrowserShell>(0, PageSource{page_.path(), {}}, queue_, [this] { uiEnded_ = true; });
    std::string error;
    ASSERT_TRUE(shell_->createWindow(error)) << error;
    shell_->createWebView([this](const nlohmann::json& command) { received_.push_back(command); });
    host_ = "127.0.0.1:" + std::to_string(shell_->port());
    origin_ = "http://" + host_;
    token_ = shell_->address().substr(shell_->address().find("token=") + 6);
  }

  httplib::Client client() {
    httplib::Client c("127.0.0.1", shell_->port());
    c.set_read_timeout(10, 0);
    return c;
  }

  // Trades the token for a session, as the page's bridge does; "" when refused.
  std::string exchange(const std::string& token) {
    auto res = client().Post("/bridge/session", {{"Origin", origin_}, {"X-Vantor-Token", token}}, "", "text/plain");
    if (!res || res->status != 200) return {};
    nlohmann::json answer = nlohmann::json::parse(res->body, nullptr, false);
    return answer.is_object() && answer["session"].is_string() ? answer["session"].get<std::string>() : "";
  }
  std::string signIn() { return exchange(token_); }

  httplib::Headers withSession(const std::string& session, httplib::Headers more = {}) {
    more.emplace("X-Vantor-Session", session);
    return more;
  }

  TempDir page_;
  std::atomic<bool> uiEnded_{false};
  UiQueue queue_{[] {}};
  std::vector<nlohmann::json> received_;  // UI thread (this one) only
  std::unique_ptr<BrowserShell> shell_;
  std::string host_, origin_, token_;
};

TEST_F(BrowserShellTest, TheAddressWorksOnceAndItsTokenBuysOneSessionAndNoCookie) {
  ASSERT_EQ(token_.size(), 32u);
  // The address opens the page while its token is unspent.
  auto page = client().Get("/?token=" + token_);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_FALSE(page->has_header("Set-Cookie"));

  auto res = client().Post("/bridge/session", {{"Origin", origin_}, {"X-Vantor-Token", token_}}, "", "text/plain");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  EXPECT_FALSE(res->has_header("Set-Cookie"));
  EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
  nlohmann::json answer = nlohmann::json::parse(res->body, nullptr, false);
  ASSERT_TRUE(answer.is_object()) << res->body;
  std::string session = answer.value("session", "");
  EXPECT_EQ(session.size(), 64u);
  EXPECT_EQ(session.find_first_not_of("0123456789abcdef"), std::string::npos) << session;
  EXPECT_EQ(session.find(token_), std::string::npos) << "the session is not the token";

  // Spent: no second session, and the address itself says so.
  EXPECT_EQ(exchange(token_), "");
  auto again = client().Get("/?token=" + token_);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 403);
  EXPECT_NE(again->body.find("used already"), std::string::npos) << again->body;
  // The session works; the page's files need none.
  auto command = client().Post("/bridge/cmd", withSession(session, {{"Origin", origin_}}), "{}", "text/plain");
  ASSERT_TRUE(command);
  EXPECT_EQ(command->status, 204);
  auto index = client().Get("/");
  ASSERT_TRUE(index);
  EXPECT_EQ(index->status, 200);
}

TEST_F(BrowserShellTest, ASecondStartPrintsANewAddressAndTheUnspentOneStopsWorking) {
  const std::string first = token_;
  shell_->activate();
  const std::string second = shell_->address().substr(shell_->address().find("token=") + 6);
  ASSERT_EQ(second.size(), 32u);
  EXPECT_NE(second, first);
  EXPECT_EQ(exchange(first), "");
  EXPECT_NE(exchange(second), "");
  // Each address buys its own session, and both stay good.
  shell_->activate();
  const std::string third = shell_->address().substr(shell_->address().find("token=") + 6);
  EXPECT_NE(exchange(third), "");
}

// Through the real server, with what a browser or another local program may
// send. The checks themselves, case by case, are BrowserShellRequestCheckTest.
TEST_F(BrowserShellTest, RequestsWithoutTheRightHostOriginSiteOrSessionAreRefused) {
  std::string session = signIn();
  ASSERT_FALSE(session.empty());
  const std::string cookie = "vantor_session_" + std::to_string(shell_->port()) + "=" + session;
  std::string otherOrigin = "http://127.0.0.1:" + std::to_string(shell_->port() == 65535 ? 1 : shell_->port() + 1);
  struct Case {
    const char* what;
    std::string method, path;
    httplib::Headers headers;
    int status;
  } cases[] = {
      {"the event stream without a session", "GET", "/bridge/events", {}, 403},
      {"a wrong token", "GET", "/?token=" + std::string(32, '0'), {}, 403},
      {"the spent token", "GET", "/?token=" + token_, {}, 403},
      // Browsers send a 127.0.0.1 cookie to every port: it proves nothing.
      {"the secret as a cookie", "POST", "/bridge/cmd", {{"Cookie", cookie}, {"Origin", origin_}}, 403},
      {"the secret as a cookie on the stream", "GET", "/bridge/events", {{"Cookie", cookie}}, 403},
      {"a wrong session", "POST", "/bridge/cmd", withSession(std::string(64, '0'), {{"Origin", origin_}}), 403},
      {"the session twice", "POST", "/bridge/cmd", withSession(session, {{"Origin", origin_}, {"X-Vantor-Session", session}}), 403},
      {"the token as the session", "POST", "/bridge/cmd", withSession(token_, {{"Origin", origin_}}), 403},
      {"a wrong Host", "GET", "/", {{"Host", "localhost:" + std::to_string(shell_->port())}}, 403},
      {"a rebound name as Host", "POST", "/bridge/cmd", withSession(session, {{"Origin", origin_}, {"Host", "attacker.example"}}), 403},
      {"a POST without Origin", "POST", "/bridge/cmd", withSession(session), 403},
      {"a POST from another port", "POST", "/bridge/cmd", withSession(session, {{"Origin", otherOrigin}}), 403},
      {"a POST from an opaque origin", "POST", "/bridge/cmd", withSession(session, {{"Origin", "null"}}), 403},
      {"a POST with two Origins", "POST", "/bridge/cmd", withSession(session, {{"Origin", origin_}, {"Origin", otherOrigin}}), 403},
      {"a POST from another site", "POST", "/bridge/cmd", withSession(session, {{"Origin", origin_}, {"Sec-Fetch-Site", "same-site"}}), 403},
      {"a GET from another port", "GET", "/launcher.js", {{"Origin", otherOrigin}}, 403},
      {"a page framed by another port", "GET", "/", {{"Sec-Fetch-Site", "same-site"}}, 403},
      {"a page linked from anywhere", "GET", "/", {{"Sec-Fetch-Site", "cross-site"}}, 403},
      {"the stream from another site", "GET", "/bridge/events", withSession(session, {{"Sec-Fetch-Site", "cross-site"}}), 403},
      {"a command by GET", "GET", "/bridge/cmd", withSession(session), 405},
      {"the page typed in", "GET", "/", {{"Sec-Fetch-Site", "none"}}, 200},
      {"the page's own script", "GET", "/launcher.js", {{"Sec-Fetch-Site", "same-origin"}, {"Origin", origin_}}, 200},
      {"a client that sends no Sec-Fetch-Site", "GET", "/", {}, 200},
      {"the right POST", "POST", "/bridge/cmd", withSession(session, {{"Origin", origin_}, {"Sec-Fetch-Site", "same-origin"}}), 204},
  };
  for (const Case& c : cases) {
    auto res = c.method == "GET" ? client().Get(c.path, c.headers)
                                 : client().Post(c.path, c.headers, R"({"cmd":"probe"})", "text/plain");
    ASSERT_TRUE(res) << c.what;
    EXPECT_EQ(res->status, c.status) << c.what;
    EXPECT_FALSE(res->has_header("Set-Cookie")) << c.what;
    // Nothing may be framed or read by another site, refused or not.
    EXPECT_EQ(res->get_header_value("Content-Security-Policy"),
              "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; form-action 'none'; "
              "frame-ancestors 'none'")
        << c.what;
    EXPECT_EQ(res->get_header_value("Cross-Origin-Resource-Policy"), "same-origin") << c.what;
    EXPECT_EQ(res->get_header_value("X-Frame-Options"), "DENY") << c.what;
  }
  // Only the one accepted POST reached the application, and only through the queue.
  EXPECT_TRUE(received_.empty());
  queue_.runPending();
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0], nlohmann::json({{"cmd", "probe"}}));
}

TEST_F(BrowserShellTest, CommandsArriveInOrderAndNonObjectsAreIgnored) {
  httplib::Headers headers = withSession(signIn(), {{"Origin", origin_}});
  const char* bodies[] = {R"({"cmd":"a"})", "[1,2]", "not json", R"("text")", R"({"cmd":"b","n":2})", R"({"cmd":"c"})"};
  for (const char* body : bodies) {
    auto res = client().Post("/bridge/cmd", headers, body, "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 204) << body;
  }
  queue_.runPending();
  ASSERT_EQ(received_.size(), 3u);
  EXPECT_EQ(received_[0]["cmd"], "a");
  EXPECT_EQ(received_[1]["cmd"], "b");
  EXPECT_EQ(received_[2]["cmd"], "c");
}

TEST_F(BrowserShellTest, BodiesOverOneMebibyteAreRefused) {
  httplib::Headers headers = withSession(signIn(), {{"Origin", origin_}});
  std::string big = R"({"cmd":"big","x":")" + std::string(1 << 20, 'x') + R"("})";
  auto res = client().Post("/bridge/cmd", headers, big, "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 413);
  queue_.runPending();
  EXPECT_TRUE(received_.empty());
}

TEST_F(BrowserShellTest, ServesThePageWithTheBridgeScriptFirst) {
  // The page's files hold no secret: no session is needed for them.
  httplib::Headers headers;
  auto index = client().Get("/", headers);
  ASSERT_TRUE(index);
  EXPECT_EQ(index->status, 200);
  EXPECT_EQ(index->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(index->get_header_value("Cache-Control"), "no-store");
  EXPECT_NE(index->body.find("<head><script src=\"/bridge/bridge.js\"></script><title>"), std::string::npos)
      << index->body;
  auto script = client().Get("/LAUNCHER.JS", headers);
  ASSERT_TRUE(script);
  EXPECT_EQ(script->status, 200);
  EXPECT_EQ(script->body, "// script");
  auto bridge = client().Get("/bridge/bridge.js", headers);
  ASSERT_TRUE(bridge);
  EXPECT_EQ(bridge->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
  // The stream is a fetch that can carry the session, not an EventSource that cannot.
  EXPECT_NE(bridge->body.find("fetch('/bridge/events'"), std::string::npos);
  EXPECT_NE(bridge->body.find("'X-Vantor-Session': session"), std::string::npos);
  EXPECT_EQ(bridge->body.find("EventSource("), std::string::npos);
  auto missing = client().Get("/launcher.css", headers);
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  auto outside = client().Get("/favicon.ico", headers);
  ASSERT_TRUE(outside);
  EXPECT_EQ(outside->status, 404);
  EXPECT_EQ(outside->get_header_value("Content-Type"), "application/octet-stream");
}

// Reads one event stream on its own thread until it ends.
class StreamReader {
 public:
  StreamReader(uint16_t port, httplib::Headers headers) : client_("127.0.0.1", port) {
    client_.set_read_timeout(30, 0);
    thread_ = std::thread([this, headers] {
      auto res = client_.Get("/bridge/events", headers, [this](const char* data, size_t length) {
        std::lock_guard lock(mutex_);
        text_.append(data, length);
        return true;
      });
      status_ = res ? res->status : -1;
      ended_ = true;
    });
  }
  // A test that failed early may leave its stream open: cut it.
  ~StreamReader() {
    while (!ended_) {
      client_.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    thread_.join();
  }
  std::string text() {
    std::lock_guard lock(mutex_);
    return text_;
  }
  bool waitFor(const std::string& what) {
    return waitUntil([&] { return text().find(what) != std::string::npos; }, std::chrono::seconds(10));
  }
  bool waitEnded(std::chrono::seconds limit = std::chrono::seconds(10)) {
    return waitUntil([&] { return ended_.load(); }, limit);
  }
  int status() const { return status_; }

 private:
  template <class Predicate>
  static bool waitUntil(Predicate done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return done();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  httplib::Client client_;
  std::mutex mutex_;
  std::string text_;
  std::atomic<bool> ended_{false};
  std::atomic<int> status_{0};
  std::thread thread_;
};

TEST_F(BrowserShellTest, StreamsStartWithTheLastStateAndCloseEndsThem) {
  httplib::Headers headers = withSession(signIn());
  shell_->sendToPage(R"({"type":"toast","text":"before any stream"})");
  shell_->sendToPage(R"({"type":"state","n":1})");
  shell_->sendToPage(R"({"type":"state","n":2,"t":"Grüße\u2028"})");
  StreamReader first(shell_->port(), headers);
  ASSERT_TRUE(first.waitFor("data: {\"type\":\"state\",\"n\":2"));
  EXPECT_EQ(first.text().find("before any stream"), std::string::npos);
  EXPECT_EQ(first.text().find("\"n\":1"), std::string::npos);

  shell_->sendToPage(R"({"type":"toast","text":"hi"})");
  ASSERT_TRUE(first.waitFor("data: {\"type\":\"toast\",\"text\":\"hi\"}\n\n"));
  shell_->sendToPage(R"({"type":"state","n":3})");
  ASSERT_TRUE(first.waitFor("\"n\":3"));

  // A second (or reconnected) stream gets the newest state first, not the toast.
  StreamReader second(shell_->port(), headers);
  ASSERT_TRUE(second.waitFor("\"n\":3"));
  EXPECT_EQ(second.text().find("\"toast\""), std::string::npos);

  shell_->close();
  EXPECT_TRUE(uiEnded_);
  EXPECT_TRUE(first.waitEnded());
  EXPECT_TRUE(second.waitEnded());
  EXPECT_EQ(first.status(), 200);
}

TEST_F(BrowserShellTest, InvalidUtf8NeverReachesAStream) {
  httplib::Headers headers = withSession(signIn());
  StreamReader reader(shell_->port(), headers);
  ASSERT_TRUE(reader.waitFor("retry:"));
  shell_->sendToPage("{\"type\":\"state\",\"p\":\"\xff\"}");
  shell_->sendToPage(R"({"type":"state","p":"ok"})");
  ASSERT_TRUE(reader.waitFor("\"p\":\"ok\""));
  EXPECT_EQ(reader.text().find('\xff'), std::string::npos);
  shell_->close();
  EXPECT_TRUE(reader.waitEnded());
}

TEST_F(BrowserShellTest, AStreamPushedOutByANewerOneEndsAtOnce) {
  httplib::Headers headers = withSession(signIn());
  StreamReader oldest(shell_->port(), headers);
  ASSERT_TRUE(oldest.waitFor("retry:"));
  std::vector<std::unique_ptr<StreamReader>> newer;
  for (int i = 0; i < 8; ++i) {  // the server keeps eight
    newer.push_back(std::make_unique<StreamReader>(shell_->port(), headers));
    ASSERT_TRUE(newer.back()->waitFor("retry:")) << i;
  }
  // It ends now, not at its next keep-alive 15 s later (the bound sits far
  // above the milliseconds this takes and below those 15 s).
  EXPECT_TRUE(oldest.waitEnded(std::chrono::seconds(10)));
  EXPECT_EQ(oldest.status(), 200);
  // The eight stay, and only they get what comes next.
  shell_->sendToPage(R"({"type":"toast","text":"after"})");
  for (auto& reader : newer) EXPECT_TRUE(reader->waitFor("\"after\"")) << reader->text();
  EXPECT_EQ(oldest.text().find("\"after\""), std::string::npos);
  shell_->close();
  for (auto& reader : newer) EXPECT_TRUE(reader->waitEnded());
}

TEST_F(BrowserShellTest, CloseFreesThePortBeforeTheShellIsGone) {
  httplib::Headers headers = withSession(signIn());
  // A stream and a client that would keep its connection alive are there when the UI ends.
  StreamReader reader(shell_->port(), headers);
  ASSERT_TRUE(reader.waitFor("retry:"));
  httplib::Client kept("127.0.0.1", shell_->port());
  kept.set_keep_alive(true);
  auto page = kept.Get("/", headers);
  ASSERT_TRUE(page);
  ASSERT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Connection"), "close");

  shell_->close();
  EXPECT_TRUE(uiEnded_);
  // Every reply closed its connection, so the client's next request finds no launcher.
  auto late = kept.Get("/", headers);
  EXPECT_FALSE(late);
  // A launcher started right after this one lets go of its lock binds the same port.
  BrowserShell next(shell_->port(), PageSource{page_.path(), {}}, queue_, [] {});
  std::string error;
  EXPECT_TRUE(next.createWindow(error)) << error;
  EXPECT_EQ(next.port(), shell_->port());
  EXPECT_TRUE(reader.waitEnded());
  kept.stop();
}

TEST_F(BrowserShellTest, ACrowdOfSlowClientsAndAnEndlessLineNeverShutThePageOut) {
  std::string session = signIn();
  ASSERT_FALSE(session.empty());
  StreamReader stream(shell_->port(), withSession(session));
  ASSERT_TRUE(stream.waitFor("retry:"));
  const std::string partial = "GET / HTTP/1.1\r\nHost: " + host_ + "\r\nX-Slow: ";
  // 200 heads that never end, from ten other client addresses and from the page's own.
  std::vector<std::unique_ptr<RawConnection>> crowd;
  for (int i = 0; i < 200; ++i) {
    const std::string from = i < 160 ? "127.0.0." + std::to_string(2 + i % 10) : "127.0.0.1";
    crowd.push_back(std::make_unique<RawConnection>(shell_->port(), from.c_str()));
    ASSERT_TRUE(crowd.back()->connected()) << i;
    ASSERT_TRUE(crowd.back()->send(partial)) << i;
  }
  // And one header line that never ends: refused once it is longer than a line may be.
  RawConnection endless(shell_->port(), "127.0.0.12");
  ASSERT_TRUE(endless.send("GET / HTTP/1.1\r\nHost: " + host_ + "\r\nX-Endless: "));
  EXPECT_FALSE(endless.send(std::string(std::size_t(64) << 20, 'a'))) << "64 MiB of one line were taken";

  // The page still gets its files, its commands through and its pushes.
  auto page = client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  auto command = client().Post("/bridge/cmd", withSession(session, {{"Origin", origin_}}), R"({"cmd":"after"})",
                               "text/plain");
  ASSERT_TRUE(command);
  EXPECT_EQ(command->status, 204);
  shell_->sendToPage(R"({"type":"toast","text":"after the crowd"})");
  EXPECT_TRUE(stream.waitFor("after the crowd"));
  queue_.runPending();
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0]["cmd"], "after");
  // Strangers never hold more than the cap, and the page's stream was never among those pushed out.
  BrowserShell::Connections open = shell_->connections();
  EXPECT_LE(open.withoutSession, 256u);
  EXPECT_GE(open.open - open.withoutSession, 1u);
  shell_->close();
  EXPECT_TRUE(stream.waitEnded());
  EXPECT_EQ(stream.status(), 200);
}

// The checks every request head passes, case by case, on heads parsed as the
// server parses them.
TEST(BrowserShellRequestCheckTest, OnlyTheServedAddressThisPageAndALiveSessionGetThrough) {
  const ServedAddress served{"127.0.0.1:4000", "http://127.0.0.1:4000"};
  const std::string session(64, 's');
  const std::string token(32, 't');
  Credentials credentials;
  credentials.isSession = [&](std::string_view s) { return s == session; };
  credentials.isUnspentToken = [&](std::string_view t) { return t == token; };
  const std::string host = "Host: 127.0.0.1:4000\r\n";
  const std::string origin = "Origin: http://127.0.0.1:4000\r\n";
  const std::string withSession = "X-Vantor-Session: " + session + "\r\n";
  struct Case {
    const char* what;
    std::string head;  // request line and header lines, without the blank line
    int status;
    Route route;
  } cases[] = {
      {"the page", "GET / HTTP/1.1\r\n" + host, 0, Route::Page},
      {"the page by HEAD", "HEAD /index.html HTTP/1.1\r\n" + host, 0, Route::Page},
      {"no Host", "GET / HTTP/1.1\r\n", 403, Route::Page},
      {"Host twice", "GET / HTTP/1.1\r\n" + host + host, 403, Route::Page},
      {"Host by name", "GET / HTTP/1.1\r\nHost: localhost:4000\r\n", 403, Route::Page},
      {"Host without the port", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n", 403, Route::Page},
      {"a rebound name", "GET / HTTP/1.1\r\nHost: attacker.example:4000\r\n", 403, Route::Page},
      {"the page's own Origin", "GET / HTTP/1.1\r\n" + host + origin, 0, Route::Page},
      {"another port's Origin", "GET / HTTP/1.1\r\n" + host + "Origin: http://127.0.0.1:4001\r\n", 403, Route::Page},
      {"an opaque Origin", "GET / HTTP/1.1\r\n" + host + "Origin: null\r\n", 403, Route::Page},
      {"Origin twice", "GET / HTTP/1.1\r\n" + host + origin + origin, 403, Route::Page},
      {"typed or opened by the player", "GET / HTTP/1.1\r\n" + host + "Sec-Fetch-Site: none\r\n", 0, Route::Page},
      {"the page's own request", "GET /a.js HTTP/1.1\r\n" + host + "Sec-Fetch-Site: same-origin\r\n", 0, Route::Page},
      {"another port (same site)", "GET / HTTP/1.1\r\n" + host + "Sec-Fetch-Site: same-site\r\n", 403, Route::Page},
      {"another site", "GET / HTTP/1.1\r\n" + host + "Sec-Fetch-Site: cross-site\r\n", 403, Route::Page},
      {"Sec-Fetch-Site twice", "GET / HTTP/1.1\r\n" + host + "Sec-Fetch-Site: none\r\nSec-Fetch-Site: none\r\n", 403, Route::Page},
      {"Sec-Fetch-Site unknown", "GET / HTTP/1.1\r\n" + host + "Sec-Fetch-Site: Same-Origin\r\n", 403, Route::Page},
      {"the unspent token", "GET /?token=" + token + " HTTP/1.1\r\n" + host, 0, Route::Page},
      {"the token among options", "GET /?fps=30&token=" + token + " HTTP/1.1\r\n" + host, 0, Route::Page},
      {"another token", "GET /?token=" + std::string(32, '0') + " HTTP/1.1\r\n" + host, 403, Route::Page},
      {"an empty token", "GET /?token HTTP/1.1\r\n" + host, 403, Route::Page},
      {"a name like the token's", "GET /?tokens=1 HTTP/1.1\r\n" + host, 0, Route::Page},
      {"the bridge script", "GET /bridge/bridge.js HTTP/1.1\r\n" + host, 0, Route::BridgeScript},
      {"a command", "POST /bridge/cmd HTTP/1.1\r\n" + host + origin + withSession, 0, Route::Command},
      {"a command, header in lower case", "POST /bridge/cmd HTTP/1.1\r\n" + host + origin + "x-vantor-session: " + session + "\r\n", 0, Route::Command},
      {"a command without Origin", "POST /bridge/cmd HTTP/1.1\r\n" + host + withSession, 403, Route::Command},
      {"a command without session", "POST /bridge/cmd HTTP/1.1\r\n" + host + origin, 403, Route::Command},
      {"a command with the session as a cookie", "POST /bridge/cmd HTTP/1.1\r\n" + host + origin + "Cookie: vantor_session_4000=" + session + "\r\n", 403, Route::Command},
      {"a command with a wrong session", "POST /bridge/cmd HTTP/1.1\r\n" + host + origin + "X-Vantor-Session: " + std::string(64, 'x') + "\r\n", 403, Route::Command},
      {"a command with the session twice", "POST /bridge/cmd HTTP/1.1\r\n" + host + origin + withSession + withSession, 403, Route::Command},
      {"a command with an empty session", "POST /bridge/cmd HTTP/1.1\r\n" + host + origin + "X-Vantor-Session:\r\n", 403, Route::Command},
      {"a command from another port", "POST /bridge/cmd HTTP/1.1\r\n" + host + "Origin: http://127.0.0.1:4001\r\n" + withSession, 403, Route::Command},
      {"a command from another site", "POST /bridge/cmd HTTP/1.1\r\n" + host + origin + withSession + "Sec-Fetch-Site: cross-site\r\n", 403, Route::Command},
      {"a command by GET", "GET /bridge/cmd HTTP/1.1\r\n" + host + withSession, 405, Route::Command},
      {"a command by PUT", "PUT /bridge/cmd HTTP/1.1\r\n" + host + origin + withSession, 405, Route::Command},
      {"the stream", "GET /bridge/events HTTP/1.1\r\n" + host + withSession + "Sec-Fetch-Site: same-origin\r\n", 0, Route::Events},
      {"the stream without session", "GET /bridge/events HTTP/1.1\r\n" + host, 403, Route::Events},
      {"the stream with the token as session", "GET /bridge/events HTTP/1.1\r\n" + host + "X-Vantor-Session: " + token + "\r\n", 403, Route::Events},
      {"the exchange", "POST /bridge/session HTTP/1.1\r\n" + host + origin + "X-Vantor-Token: " + token + "\r\n", 0, Route::SessionExchange},
      {"the exchange without token", "POST /bridge/session HTTP/1.1\r\n" + host + origin, 403, Route::SessionExchange},
      {"the exchange without Origin", "POST /bridge/session HTTP/1.1\r\n" + host + "X-Vantor-Token: " + token + "\r\n", 403, Route::SessionExchange},
      {"the exchange by GET", "GET /bridge/session HTTP/1.1\r\n" + host + "X-Vantor-Token: " + token + "\r\n", 405, Route::SessionExchange},
      {"a page by POST", "POST / HTTP/1.1\r\n" + host + origin, 405, Route::Page},
      // Nothing is decoded: an encoded bridge path is only a page file that is not there.
      {"an encoded command path", "POST /bridge%2Fcmd HTTP/1.1\r\n" + host + origin, 405, Route::Page},
      {"an encoded stream path", "GET /bridge%2fevents HTTP/1.1\r\n" + host, 0, Route::Page},
  };
  for (const Case& c : cases) {
    HeadReader reader;
    std::size_t used = 0;
    ASSERT_EQ(reader.feed(c.head + "\r\n", used), HeadStatus::Complete) << c.what;
    RequestVerdict verdict = checkRequest(reader.head(), served, credentials);
    EXPECT_EQ(verdict.status, c.status) << c.what << ": " << verdict.reason;
    EXPECT_EQ(verdict.route, c.route) << c.what;
    EXPECT_EQ(verdict.reason.empty(), c.status == 0) << c.what;
  }
}

TEST(BrowserShellRequestCheckTest, WithoutCredentialsNothingNeedingOneGetsThrough) {
  const ServedAddress served{"127.0.0.1:4000", "http://127.0.0.1:4000"};
  for (const char* head : {"GET /bridge/events HTTP/1.1\r\nHost: 127.0.0.1:4000\r\nX-Vantor-Session: s\r\n\r\n",
                           "GET /?token=t HTTP/1.1\r\nHost: 127.0.0.1:4000\r\n\r\n"}) {
    HeadReader reader;
    std::size_t used = 0;
    ASSERT_EQ(reader.feed(head, used), HeadStatus::Complete);
    EXPECT_EQ(checkRequest(reader.head(), served, Credentials{}).status, 403) << head;
  }
}

TEST(BrowserShellRequestCheckTest, SecretsCompareOnlyEqualWhenWhollyEqual) {
  EXPECT_TRUE(equalsInConstantTime("abc", "abc"));
  EXPECT_TRUE(equalsInConstantTime("", ""));
  EXPECT_FALSE(equalsInConstantTime("abc", "abd"));
  EXPECT_FALSE(equalsInConstantTime("abc", "ab"));
  EXPECT_FALSE(equalsInConstantTime("", "a"));
}

// The system's source itself, retried when interrupted, is RandomBytesTest.
TEST(BrowserShellTokenTest, RandomBytesThatFailGiveAnErrorNotAWeakToken) {
  std::string hex = "unchanged";
  std::string error;
  EXPECT_FALSE(randomHex128(hex, error, [](void*, std::size_t, std::string& why) {
    why = "no source";
    return false;
  }));
  EXPECT_EQ(hex, "unchanged");
  EXPECT_NE(error.find("random"), std::string::npos) << error;
  EXPECT_NE(error.find("no source"), std::string::npos) << error;
}

TEST(BrowserShellTokenTest, TheTokenIsItsBytesInLowerCaseHex) {
  std::string hex;
  std::string error;
  ASSERT_TRUE(randomHex128(hex, error, [](void* buffer, std::size_t length, std::string&) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(0xa2 + i / 4 + (i == 15 ? 0x0b : 0));
    return true;
  })) << error;
  EXPECT_EQ(hex, "a2a2a2a2a3a3a3a3a4a4a4a4a5a5a5b0");

  ASSERT_TRUE(randomHex128(hex, error)) << error;
  EXPECT_EQ(hex.size(), 32u);
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
}

#ifndef _WIN32
// In a process that may start no thread (RLIMIT_NPROC, which binds no
// administrator, hence the switch to an unprivileged user first): exits 0 when
// the shell failed to start with the reason, 1 when it started, 2 when it failed
// without saying why (an uncaught exception ends it with a signal instead).
[[noreturn]] void startWithoutThreads() {
  if (geteuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(3);
  }
  rlimit none{0, 0};
  if (setrlimit(RLIMIT_NPROC, &none) != 0) _exit(4);
  UiQueue queue([] {});
  BrowserShell shell(0, {}, queue, [] {});
  std::string error;
  const bool started = shell.createWindow(error);
  std::fprintf(stderr, "error: %s\n", error.c_str());
  _exit(started ? 1 : error.find("Couldn't start serving") != std::string::npos ? 0 : 2);
}

#endif

TEST(BrowserShellDeathTest, AThreadThatCannotStartIsAnErrorNotATermination) {
  VANTOR_LINUX_ONLY("a limit on the threads a process may start (RLIMIT_NPROC)");
#ifndef _WIN32
  if (geteuid() == 0 && getpwnam("nobody") == nullptr) GTEST_SKIP() << "no user \"nobody\" to drop to";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(startWithoutThreads(), ::testing::ExitedWithCode(0), "error: Couldn't start serving the browser");
#endif
}

TEST(BrowserShellTextTest, EventsSplitLineBreaksIntoDataLines) {
  EXPECT_EQ(serverSentEvent(R"({"a":1})"), "data: {\"a\":1}\n\n");
  EXPECT_EQ(serverSentEvent("{\n\"a\":\r\n1\r}"), "data: {\ndata: \"a\":\ndata: 1\ndata: }\n\n");
  EXPECT_EQ(serverSentEvent("\u2028"), "data: \u2028\n\n");  // not a line break for event streams
  EXPECT_EQ(serverSentEvent(""), "data: \n\n");
}

TEST(BrowserShellTextTest, BridgeScriptGoesFirstInTheHead) {
  const std::string tag = "<s>";
  struct Case {
    const char* html;
    const char* out;
  } cases[] = {
      {"<html><head><title>x</title></head></html>", "<html><head><s><title>x</title></head></html>"},
      {"<!doctype html><HTML lang=en><HEAD id=h>x", "<!doctype html><HTML lang=en><HEAD id=h><s>x"},
      {"<html><header>x</header>", "<html><s><header>x</header>"},
      {"<!-- <head> --><p>", "<!-- <head><s> --><p>"},  // good enough: the tag still comes before any script
      {"<p>no head</p>", "<s><p>no head</p>"},
      {"", "<s>"},
  };
  for (const Case& c : cases) EXPECT_EQ(injectIntoHead(c.html, tag), c.out) << c.html;
}

TEST(BrowserShellPortTest, AnOccupiedPortIsAClearError) {
  UiQueue queue([] {});
  BrowserShell first(0, {}, queue, [] {});
  std::string error;
  ASSERT_TRUE(first.createWindow(error)) << error;
  BrowserShell second(first.port(), {}, queue, [] {});
  EXPECT_FALSE(second.createWindow(error));
  EXPECT_NE(error.find(std::to_string(first.port())), std::string::npos) << error;
}

}  // namespace
}  // namespace launcher
