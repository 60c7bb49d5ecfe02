#include "shell/http_server.h"

#include "testing/raw_connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace launcher {
namespace {

using namespace std::chrono_literals;
using testing::RawConnection;
using testing::statusOf;

template <class Predicate>
bool waitUntil(Predicate done, std::chrono::seconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A server with small caps and short deadlines. "/trusted" opens a trusted
// event stream; "/trusted-ok" is a trusted request answered at once; "/body" takes a body of up to ten bytes and answers with it;
// "/big" answers with big_; anything else answers "ok".
class HttpServerTest : public ::testing::Test {
 protected:
  void start(HttpServerOptions options = defaults()) {
    server_ = std::make_unique<HttpServer>(
        options,
        [this](const RequestHead& head, const std::string&) {
          HeadDecision decision;
          if (head.path == "/trusted") {
            decision.trusted = true;
            decision.reply = HttpReply{};
            decision.reply->stream = std::make_shared<EventStream>();
            std::lock_guard lock(mutex_);
            streams_.push_back(decision.reply->stream);
          } else if (head.path == "/trusted-ok") {
            decision.trusted = true;
            decision.reply = HttpReply{};
            decision.reply->body = "ok";
          } else if (head.path == "/body") {
            decision.maxBody = 10;
          } else if (head.path == "/big") {
            decision.reply = HttpReply{};
            decision.reply->staticBody = big_;
          } else {
            decision.reply = HttpReply{};
            decision.reply->body = "ok";
          }
          return decision;
        },
        [this](const RequestHead&, std::string body) {
          {
            std::lock_guard lock(mutex_);
            bodies_.push_back(body);
          }
          HttpReply reply;
          reply.body = "got " + body;
          return reply;
        });
    std::string error;
    ASSERT_TRUE(server_->bind(error)) << error;
    ASSERT_TRUE(server_->start(error)) << error;
    host_ = "Host: 127.0.0.1:" + std::to_string(server_->port()) + "\r\n";
  }

  static HttpServerOptions defaults() {
    HttpServerOptions options;
    options.maxConnectionsPerClient = 4;
    options.maxConnections = 8;
    options.evictionGrace = 0ms;  // the caps bite at once; the grace has tests of its own
    options.maxTrustedConnections = 2;
    options.headers = {{"X-Every", "reply"}};
    return options;
  }

  // One whole request on a connection of its own: the response, once the server closed.
  std::string ask(const std::string& request, const char* from = "127.0.0.1") {
    RawConnection connection(server_->port(), from);
    if (!connection.connected() || !connection.send(request)) return {};
    bool closed = false;
    std::string response = connection.readUntilClosed(10s, closed);
    return closed ? response : std::string();
  }

  std::string big_;  // "/big" answers with it
  std::unique_ptr<HttpServer> server_;
  std::string host_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<EventStream>> streams_;
  std::vector<std::string> bodies_;
};

TEST_F(HttpServerTest, AnswersOneRequestPerConnectionWithTheHeadersOfEveryReply) {
  start();
  std::string response = ask("GET /x HTTP/1.1\r\n" + host_ + "\r\n");
  EXPECT_EQ(statusOf(response), 200) << response;
  EXPECT_NE(response.find("\r\nConnection: close\r\n"), std::string::npos) << response;
  EXPECT_NE(response.find("\r\nX-Every: reply\r\n"), std::string::npos) << response;
  EXPECT_NE(response.find("\r\nContent-Length: 2\r\n"), std::string::npos) << response;
  EXPECT_EQ(response.substr(response.size() - 6), "\r\n\r\nok") << response;
  // HEAD: the same head, no body.
  response = ask("HEAD /x HTTP/1.1\r\n" + host_ + "\r\n");
  EXPECT_EQ(statusOf(response), 200) << response;
  EXPECT_EQ(response.substr(response.size() - 4), "\r\n\r\n") << response;
}

TEST_F(HttpServerTest, HeadsThatBreakABoundAreRefusedWithinIt) {
  start();
  struct Case {
    const char* what;
    std::string request;
    int status;
  } cases[] = {
      {"an endless header line", "GET / HTTP/1.1\r\nX-Long: " + std::string(40000, 'a'), 431},
      {"an endless request line", "GET /" + std::string(40000, 'a'), 414},
      {"65 header lines", "GET / HTTP/1.1\r\n" + [] {
         std::string lines;
         for (int i = 0; i < 65; ++i) lines += "X-" + std::to_string(i) + ": v\r\n";
         return lines;
       }() + "\r\n",
       431},
      {"a head over 16 KiB", "GET / HTTP/1.1\r\n" + [] {
         std::string lines;
         for (int i = 0; i < 20; ++i) lines += "X-" + std::to_string(i) + ": " + std::string(1000, 'v') + "\r\n";
         return lines;
       }() + "\r\n",
       431},
      {"a bare line feed", "GET / HTTP/1.1\n" + host_ + "\r\n", 400},
      {"a folded header line", "GET / HTTP/1.1\r\n" + host_ + "X-A: b\r\n c\r\n\r\n", 400},
      {"a blank before the colon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n", 400},
      {"an absolute target", "GET http://127.0.0.1/ HTTP/1.1\r\n" + host_ + "\r\n", 400},
      {"another protocol", "GET / HTTP/2.0\r\n" + host_ + "\r\n", 400},
      {"a control character in a value", "GET / HTTP/1.1\r\nX-A: a\x01" "b\r\n\r\n", 400},
      {"64 header lines", "GET / HTTP/1.1\r\n" + [] {
         std::string lines;
         for (int i = 0; i < 64; ++i) lines += "X-" + std::to_string(i) + ": v\r\n";
         return lines;
       }() + "\r\n",
       200},
  };
  for (const Case& c : cases) {
    std::string response = ask(c.request);
    EXPECT_EQ(statusOf(response), c.status) << c.what << ": " << response.substr(0, 80);
    EXPECT_NE(response.find("X-Every: reply"), std::string::npos) << c.what;
  }
}

TEST_F(HttpServerTest, AHeadThatTakesTooLongIsCutAtTheDeadline) {
  HttpServerOptions options = defaults();
  options.headDeadline = 300ms;
  start(options);
  RawConnection silent(server_->port());
  RawConnection slow(server_->port());
  ASSERT_TRUE(silent.connected() && slow.connected());
  ASSERT_TRUE(slow.send("GET / HTTP/1.1\r\n" + host_ + "X-Slow: "));
  ASSERT_TRUE(waitUntil([&] { return server_->counts().open == 2; }));
  // Neither ever finishes its head: the server closes both, and nothing is answered.
  bool closed = false;
  EXPECT_EQ(slow.readUntilClosed(10s, closed), "");
  EXPECT_TRUE(closed);
  EXPECT_TRUE(silent.waitClosed(10s));
  EXPECT_TRUE(waitUntil([&] { return server_->counts().open == 0; }));
}

TEST_F(HttpServerTest, ACrowdCostsItsOwnOldestConnectionsNeverAFreshRequest) {
  start();
  // Four slow clients of one address, then two more: its two oldest make room.
  std::vector<std::unique_ptr<RawConnection>> crowd;
  for (int i = 0; i < 6; ++i) {
    crowd.push_back(std::make_unique<RawConnection>(server_->port(), "127.0.0.2"));
    ASSERT_TRUE(crowd.back()->send("GET / HTTP/1.1\r\nX-Slow: "));
  }
  EXPECT_TRUE(crowd[0]->waitClosed(10s));
  EXPECT_TRUE(crowd[1]->waitClosed(10s));
  ASSERT_TRUE(waitUntil([&] { return server_->counts().open == 4; })) << server_->counts().open;
  // Twelve more from other addresses: never more than eight strangers at once.
  for (int i = 0; i < 12; ++i) {
    crowd.push_back(std::make_unique<RawConnection>(server_->port(), i % 2 ? "127.0.0.3" : "127.0.0.4"));
    ASSERT_TRUE(crowd.back()->send("GET / HTTP/1.1\r\nX-Slow: "));
    EXPECT_LE(server_->counts().untrusted, 8u);
  }
  // A fresh request from anyone, the crowd's own address included, is answered.
  EXPECT_EQ(statusOf(ask("GET / HTTP/1.1\r\n" + host_ + "\r\n")), 200);
  EXPECT_EQ(statusOf(ask("GET / HTTP/1.1\r\n" + host_ + "\r\n", "127.0.0.2")), 200);
  EXPECT_LE(server_->counts().untrusted, 8u);
}

TEST_F(HttpServerTest, AFreshRequestIsNeverPushedOutByACrowdThatFollowsIt) {
  HttpServerOptions options = defaults();
  options.maxConnections = 64;
  options.evictionGrace = 60s;
  start(options);
  // The page's connection is there before its request, as a busy browser's may be...
  RawConnection page(server_->port());
  ASSERT_TRUE(waitUntil([&] { return server_->counts().open == 1; }));
  // ...and a crowd from the same address comes right after it.
  std::vector<std::unique_ptr<RawConnection>> crowd;
  for (int i = 0; i < 10; ++i) {
    crowd.push_back(std::make_unique<RawConnection>(server_->port()));
    ASSERT_TRUE(crowd.back()->send("GET / HTTP/1.1\r\nX-Slow: "));
  }
  ASSERT_TRUE(waitUntil([&] { return server_->counts().open == 11; }));
  ASSERT_TRUE(page.send("GET / HTTP/1.1\r\n" + host_ + "\r\n"));
  bool closed = false;
  EXPECT_EQ(statusOf(page.readUntilClosed(10s, closed)), 200);
}

TEST_F(HttpServerTest, WhenAllAreFreshNewConnectionsWaitTheirTurnInTheSystemsQueue) {
  HttpServerOptions options = defaults();
  options.maxConnectionsPerClient = 4;
  options.maxConnections = 4;
  options.evictionGrace = 60s;
  start(options);
  std::vector<std::unique_ptr<RawConnection>> crowd;
  for (int i = 0; i < 4; ++i) {
    crowd.push_back(std::make_unique<RawConnection>(server_->port(), "127.0.0.2"));
    ASSERT_TRUE(crowd.back()->send("GET / HTTP/1.1\r\nX-Slow: "));
  }
  ASSERT_TRUE(waitUntil([&] { return server_->counts().open == 4; }));
  // Connected by the system, complete, and not taken while the four are fresh.
  RawConnection waiting(server_->port());
  ASSERT_TRUE(waiting.send("GET / HTTP/1.1\r\n" + host_ + "\r\n"));
  EXPECT_EQ(server_->counts().open, 4u);
  // One of the crowd leaves: the waiting request is taken and answered.
  crowd.front().reset();
  bool closed = false;
  EXPECT_EQ(statusOf(waiting.readUntilClosed(10s, closed)), 200);
  EXPECT_LE(server_->counts().open, 4u);
}

TEST_F(HttpServerTest, TrustedStreamsAreNeverPushedOutAndHaveACapOfTheirOwn) {
  start();
  auto trusted = std::make_unique<RawConnection>(server_->port());
  ASSERT_TRUE(trusted->send("GET /trusted HTTP/1.1\r\n" + host_ + "\r\n"));
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard lock(mutex_);
    return streams_.size() == 1;
  }));
  std::vector<std::unique_ptr<RawConnection>> crowd;
  for (int i = 0; i < 20; ++i) {
    crowd.push_back(std::make_unique<RawConnection>(server_->port()));
    ASSERT_TRUE(crowd.back()->send("GET / HTTP/1.1\r\nX-Slow: "));
  }
  ASSERT_TRUE(waitUntil([&] { return server_->counts().open - server_->counts().untrusted == 1; }));
  {
    std::lock_guard lock(mutex_);
    ASSERT_TRUE(streams_[0]->push("data: still here\n\n"));
    streams_[0]->end();
  }
  server_->wake();
  bool closed = false;
  std::string text = trusted->readUntilClosed(10s, closed);
  EXPECT_TRUE(closed);
  EXPECT_NE(text.find("Transfer-Encoding: chunked"), std::string::npos) << text;
  EXPECT_NE(text.find("12\r\ndata: still here\n\n\r\n0\r\n\r\n"), std::string::npos) << text;
  trusted.reset();
  ASSERT_TRUE(waitUntil([&] { return server_->counts().open == server_->counts().untrusted; }));

  // Two trusted at most: the third is told to come back later.
  RawConnection second(server_->port());
  RawConnection third(server_->port());
  for (RawConnection* connection : {&second, &third}) {
    ASSERT_TRUE(connection->send("GET /trusted HTTP/1.1\r\n" + host_ + "\r\n"));
    ASSERT_TRUE(waitUntil([&] {
      std::lock_guard lock(mutex_);
      return streams_.size() == (connection == &second ? 2u : 3u);
    }));
  }
  std::string refused = ask("GET /trusted HTTP/1.1\r\n" + host_ + "\r\n");
  EXPECT_EQ(statusOf(refused), 503) << refused;
  server_->stop();
}

TEST_F(HttpServerTest, AnsweredRequestsNeitherLingerNorCountAgainstTheTrustedCap) {
  start();
  // A page's commands in a quick row, each on a connection its browser closes
  // late: the cap is two, and none of the five is turned away.
  std::vector<std::unique_ptr<RawConnection>> kept;
  for (int i = 0; i < 5; ++i) {
    kept.push_back(std::make_unique<RawConnection>(server_->port()));
    ASSERT_TRUE(kept.back()->send("GET /trusted-ok HTTP/1.1\r\n" + host_ + "\r\n"));
    bool closed = false;
    std::string response = kept.back()->readUntilClosed(10s, closed);
    EXPECT_EQ(statusOf(response), 200) << i << ": " << response;
    EXPECT_TRUE(closed) << i;
  }
  EXPECT_TRUE(waitUntil([&] { return server_->counts().open == 0; }));
}

TEST_F(HttpServerTest, BodiesComeOnlyWithOneDeclaredLengthWithinTheCap) {
  start();
  struct Case {
    const char* what;
    std::string request;
    int status;
  } cases[] = {
      {"over the cap", "POST /body HTTP/1.1\r\n" + host_ + "Content-Length: 11\r\n\r\nhello world", 413},
      {"a huge length", "POST /body HTTP/1.1\r\n" + host_ + "Content-Length: 99999999999999999999999\r\n\r\n", 413},
      {"chunked", "POST /body HTTP/1.1\r\n" + host_ + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411},
      {"not a number", "POST /body HTTP/1.1\r\n" + host_ + "Content-Length: 5x\r\n\r\nhello", 400},
      {"a signed number", "POST /body HTTP/1.1\r\n" + host_ + "Content-Length: +5\r\n\r\nhello", 400},
      {"two lengths", "POST /body HTTP/1.1\r\n" + host_ + "Content-Length: 5\r\nContent-Length: 5\r\n\r\nhello", 400},
      {"more than declared", "POST /body HTTP/1.1\r\n" + host_ + "Content-Length: 5\r\n\r\nhello, and more", 200},
      {"no body", "POST /body HTTP/1.1\r\n" + host_ + "\r\n", 200},
  };
  for (const Case& c : cases) EXPECT_EQ(statusOf(ask(c.request)), c.status) << c.what;
  // A body in pieces is read to its end.
  RawConnection pieces(server_->port());
  ASSERT_TRUE(pieces.send("POST /body HTTP/1.1\r\n" + host_ + "Content-Length: 10\r\n\r\nfirst"));
  ASSERT_TRUE(waitUntil([&] { return server_->counts().open == 1; }));
  ASSERT_TRUE(pieces.send("-last"));
  bool closed = false;
  std::string response = pieces.readUntilClosed(10s, closed);
  EXPECT_NE(response.find("got first-last"), std::string::npos) << response;
  std::lock_guard lock(mutex_);
  EXPECT_EQ(bodies_, (std::vector<std::string>{"hello", "", "first-last"}));
}

TEST_F(HttpServerTest, AReplyNobodyReadsIsCutAtItsDeadline) {
  big_.assign(std::size_t(32) << 20, 'b');
  HttpServerOptions options = defaults();
  options.replyDeadline = 300ms;
  start(options);
  RawConnection reader(server_->port());
  ASSERT_TRUE(reader.send("GET /big HTTP/1.1\r\n" + host_ + "\r\n"));
  ASSERT_TRUE(waitUntil([&] { return server_->counts().open == 1; }));
  // 32 MiB never fit in the sockets' buffers: without the deadline it would stay open.
  EXPECT_TRUE(waitUntil([&] { return server_->counts().open == 0; }));
  bool closed = false;
  std::string text = reader.readUntilClosed(10s, closed);
  EXPECT_TRUE(closed);
  EXPECT_LT(text.size(), std::size_t(32) << 20);
}

TEST_F(HttpServerTest, StopEndsEveryStreamAndFreesThePort) {
  start();
  RawConnection stream(server_->port());
  ASSERT_TRUE(stream.send("GET /trusted HTTP/1.1\r\n" + host_ + "\r\n"));
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard lock(mutex_);
    return streams_.size() == 1;
  }));
  const uint16_t port = server_->port();
  server_->stop();
  bool closed = false;
  std::string text = stream.readUntilClosed(10s, closed);
  EXPECT_TRUE(closed);
  EXPECT_EQ(text.substr(text.size() - 5), "0\r\n\r\n") << text;
  HttpServerOptions again = defaults();
  again.port = port;
  HttpServer next(again, nullptr, nullptr);
  std::string error;
  EXPECT_TRUE(next.bind(error)) << error;
  EXPECT_EQ(next.port(), port);
}

TEST(EventStreamTest, AStreamThatFallsTooFarBehindIsCutAndAnEndedOneTakesNothing) {
  EventStream stream(16);
  EXPECT_TRUE(stream.push("0123456789"));
  EXPECT_FALSE(stream.push("0123456789"));  // 20 bytes would wait: cut
  std::string out;
  EventStream::Taken taken = stream.takeInto(out);
  EXPECT_TRUE(taken.cut);
  EXPECT_EQ(out, "");
  EXPECT_FALSE(stream.push("x"));

  EventStream ended;
  EXPECT_TRUE(ended.push("last"));
  ended.end();
  EXPECT_FALSE(ended.push("after"));
  taken = ended.takeInto(out);
  EXPECT_TRUE(taken.ended);
  EXPECT_FALSE(taken.cut);
  EXPECT_EQ(out, "last");
}

}  // namespace
}  // namespace launcher
