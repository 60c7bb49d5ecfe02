#include "shell/browser_shell.h"

#include "base/ui_queue.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

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

  // Presents the token once and returns the cookie it got.
  std::string signIn() {
    auto res = client().Get("/?token=" + token_);
    if (!res || res->status != 303) return {};
    std::string setCookie = res->get_header_value("Set-Cookie");
    return setCookie.substr(0, setCookie.find(';'));
  }

  httplib::Headers withCookie(const std::string& cookie, httplib::Headers more = {}) {
    more.emplace("Cookie", cookie);
    return more;
  }

  TempDir page_;
  std::atomic<bool> uiEnded_{false};
  UiQueue queue_{[] {}};
  std::vector<nlohmann::json> received_;  // UI thread (this one) only
  std::unique_ptr<BrowserShell> shell_;
  std::string host_, origin_, token_;
};

TEST_F(BrowserShellTest, TokenSetsAStrictHttpOnlyCookieAndLeavesTheAddressBar) {
  ASSERT_EQ(token_.size(), 32u);
  auto res = client().Get("/?token=" + token_);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303);
  EXPECT_EQ(res->get_header_value("Location"), "/");
  std::string cookie = res->get_header_value("Set-Cookie");
  std::string name = "vantor_session_" + std::to_string(shell_->port()) + "=";
  EXPECT_EQ(cookie.rfind(name, 0), 0u) << cookie;
  EXPECT_NE(cookie.find("; HttpOnly"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("; SameSite=Strict"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("; Path=/"), std::string::npos) << cookie;
  EXPECT_EQ(cookie.find(token_), std::string::npos) << "the cookie is not the token";

  auto page = client().Get("/", withCookie(signIn()));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
}

TEST_F(BrowserShellTest, RequestsWithoutTheRightTokenHostOriginOrCookieAreRefused) {
  std::string cookie = signIn();
  ASSERT_FALSE(cookie.empty());
  std::string otherOrigin = "http://127.0.0.1:" + std::to_string(shell_->port() == 65535 ? 1 : shell_->port() + 1);
  struct Case {
    const char* what;
    std::string method, path;
    httplib::Headers headers;
    int status;
  } cases[] = {
      {"no token, no cookie", "GET", "/", {}, 403},
      {"a wrong token", "GET", "/?token=" + std::string(32, '0'), {}, 403},
      {"a token of another length", "GET", "/?token=" + token_ + "0", {}, 403},
      {"a wrong cookie", "GET", "/", {{"Cookie", cookie.substr(0, cookie.size() - 1) + "x"}}, 403},
      {"the cookie of another port", "GET", "/", {{"Cookie", "vantor_session_1" + cookie.substr(cookie.find('='))}}, 403},
      {"no cookie on the event stream", "GET", "/bridge/events", {}, 403},
      {"a wrong Host", "GET", "/", {{"Cookie", cookie}, {"Host", "localhost:" + std::to_string(shell_->port())}}, 403},
      {"a rebound name as Host", "GET", "/", {{"Cookie", cookie}, {"Host", "attacker.example"}}, 403},
      {"a wrong Host with the token", "GET", "/?token=" + token_, {{"Host", "evil.example"}}, 403},
      {"a POST without Origin", "POST", "/bridge/cmd", {{"Cookie", cookie}}, 403},
      {"a POST from another port", "POST", "/bridge/cmd", {{"Cookie", cookie}, {"Origin", otherOrigin}}, 403},
      {"a POST from an opaque origin", "POST", "/bridge/cmd", {{"Cookie", cookie}, {"Origin", "null"}}, 403},
      {"a POST from another site", "POST", "/bridge/cmd", {{"Cookie", cookie}, {"Origin", "https://example.com"}}, 403},
      {"a POST without cookie", "POST", "/bridge/cmd", {{"Origin", origin_}}, 403},
      {"a POST with two Origins", "POST", "/bridge/cmd", {{"Cookie", cookie}, {"Origin", origin_}, {"Origin", otherOrigin}}, 403},
      // A foreign Origin is refused on reads too: no other page may even look.
      {"a GET from another site", "GET", "/", {{"Cookie", cookie}, {"Origin", "https://example.com"}}, 403},
      {"a GET from another port", "GET", "/launcher.js", {{"Cookie", cookie}, {"Origin", otherOrigin}}, 403},
      {"a GET from an opaque origin", "GET", "/", {{"Cookie", cookie}, {"Origin", "null"}}, 403},
      {"the event stream from another site", "GET", "/bridge/events", {{"Cookie", cookie}, {"Origin", "https://example.com"}}, 403},
      {"the token from another site", "GET", "/?token=" + token_, {{"Origin", "https://example.com"}}, 403},
      {"a GET with the page's own Origin", "GET", "/", {{"Cookie", cookie}, {"Origin", origin_}}, 200},
      {"the right cookie", "GET", "/", {{"Cookie", cookie}}, 200},
      {"a cookie among others", "GET", "/", {{"Cookie", "a=b; " + cookie + "; c=d"}}, 200},
      {"the right POST", "POST", "/bridge/cmd", {{"Cookie", cookie}, {"Origin", origin_}}, 204},
  };
  for (const Case& c : cases) {
    auto res = c.method == "GET" ? client().Get(c.path, c.headers)
                                 : client().Post(c.path, c.headers, R"({"cmd":"probe"})", "text/plain");
    ASSERT_TRUE(res) << c.what;
    EXPECT_EQ(res->status, c.status) << c.what;
    if (c.status == 403) {
      EXPECT_FALSE(res->has_header("Set-Cookie")) << c.what;
    }
    // Nothing may be framed, refused or not.
    EXPECT_EQ(res->get_header_value("Content-Security-Policy"), "frame-ancestors 'none'") << c.what;
    EXPECT_EQ(res->get_header_value("X-Frame-Options"), "DENY") << c.what;
  }
  // Only the one accepted POST reached the application, and only through the queue.
  EXPECT_TRUE(received_.empty());
  queue_.runPending();
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0], nlohmann::json({{"cmd", "probe"}}));
}

TEST_F(BrowserShellTest, CommandsArriveInOrderAndNonObjectsAreIgnored) {
  httplib::Headers headers = withCookie(signIn(), {{"Origin", origin_}});
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
  httplib::Headers headers = withCookie(signIn(), {{"Origin", origin_}});
  std::string big = R"({"cmd":"big","x":")" + std::string(1 << 20, 'x') + R"("})";
  auto res = client().Post("/bridge/cmd", headers, big, "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 413);
  queue_.runPending();
  EXPECT_TRUE(received_.empty());
}

TEST_F(BrowserShellTest, ServesThePageWithTheBridgeScriptFirst) {
  httplib::Headers headers = withCookie(signIn());
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
  EXPECT_NE(bridge->body.find("EventSource('/bridge/events')"), std::string::npos);
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
  httplib::Headers headers = withCookie(signIn());
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
  httplib::Headers headers = withCookie(signIn());
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
  httplib::Headers headers = withCookie(signIn());
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
  httplib::Headers headers = withCookie(signIn());
  // A stream and a kept-alive connection are still open when the UI ends.
  StreamReader reader(shell_->port(), headers);
  ASSERT_TRUE(reader.waitFor("retry:"));
  httplib::Client kept("127.0.0.1", shell_->port());
  kept.set_keep_alive(true);
  auto page = kept.Get("/", headers);
  ASSERT_TRUE(page);
  ASSERT_EQ(page->status, 200);

  shell_->close();
  EXPECT_TRUE(uiEnded_);
  // The kept-alive connection reaches a closed launcher: it answers nothing more.
  auto late = kept.Get("/", headers);
  if (late) {
    EXPECT_EQ(late->status, 503);
  }
  // A launcher started right after this one lets go of its lock binds the same port.
  BrowserShell next(shell_->port(), PageSource{page_.path(), {}}, queue_, [] {});
  std::string error;
  EXPECT_TRUE(next.createWindow(error)) << error;
  EXPECT_EQ(next.port(), shell_->port());
  EXPECT_TRUE(reader.waitEnded());
  kept.stop();
}

TEST(BrowserShellTokenTest, RandomBytesThatFailGiveAnErrorNotAWeakToken) {
  std::string hex = "unchanged";
  std::string error;
  EXPECT_FALSE(randomHex128(hex, error, [](void*, std::size_t, unsigned int) -> ssize_t {
    errno = ENOSYS;
    return -1;
  }));
  EXPECT_NE(error.find("random"), std::string::npos) << error;
  EXPECT_NE(error.find(std::strerror(ENOSYS)), std::string::npos) << error;

  error.clear();
  EXPECT_FALSE(randomHex128(hex, error, [](void*, std::size_t, unsigned int) -> ssize_t { return 0; }));
  EXPECT_FALSE(error.empty());
}

TEST(BrowserShellTokenTest, InterruptedAndShortReadsAreRetriedToAFullToken) {
  static int calls;
  calls = 0;
  std::string hex;
  std::string error;
  // Interrupted once, then four bytes at a time.
  ASSERT_TRUE(randomHex128(hex, error, [](void* buffer, std::size_t length, unsigned int) -> ssize_t {
    if (calls++ == 0) {
      errno = EINTR;
      return -1;
    }
    std::size_t n = std::min<std::size_t>(length, 4);
    std::memset(buffer, 0xa0 + calls, n);
    return static_cast<ssize_t>(n);
  })) << error;
  EXPECT_EQ(calls, 5);
  EXPECT_EQ(hex, "a2a2a2a2a3a3a3a3a4a4a4a4a5a5a5a5");

  ASSERT_TRUE(randomHex128(hex, error)) << error;
  EXPECT_EQ(hex.size(), 32u);
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
}

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

TEST(BrowserShellDeathTest, AThreadThatCannotStartIsAnErrorNotATermination) {
  if (geteuid() == 0 && getpwnam("nobody") == nullptr) GTEST_SKIP() << "no user \"nobody\" to drop to";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(startWithoutThreads(), ::testing::ExitedWithCode(0), "error: Couldn't start serving the browser");
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
