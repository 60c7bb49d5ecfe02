// The transport's rules about where bytes may go and how many connections a
// server gets: clear text only to this machine, and at most eight
// connections to one server from the whole process.
#include "update/connection_gate.h"
#include "update/http.h"
#include "update/location.h"

#include "testing/temp_dir.h"
#include "testing/test_http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace launcher {
namespace {

using testing::TestHttpServer;
using testing::TestResponse;
using testing::TestServerOptions;

TestResponse okBody(std::string body, bool keepAlive = false) {
  TestResponse r;
  r.body = std::move(body);
  r.keepAlive = keepAlive;
  return r;
}

// The gate's name for a test server: scheme, host and port.
std::string originOf(const TestHttpServer& server) { return "http://127.0.0.1:" + std::to_string(server.port()); }

// Waits (bounded) until `done` holds; false when it never did.
template <typename Condition>
bool waitFor(Condition done) {
  for (int i = 0; i < 60000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// "localhost" is a name: whatever it resolves to, the rule does not take it
// for this machine, and nothing is sent. The server behind it would have
// answered, so a request that went out shows in its count.
TEST(HttpClearText, ToANameIsRefusedBeforeAnythingIsSent) {
  TestHttpServer server;
  server.serve("/feed/latest.json", okBody("{}"));
  const std::string byName = "http://localhost:" + std::to_string(server.port()) + "/feed/latest.json";
  testing::TempDir dir;
  std::string body;
  std::string error;
  EXPECT_FALSE(fetchText(byName, body, error));
  EXPECT_EQ(error, "The update server must use https");
  std::string digest;
  error.clear();
  EXPECT_FALSE(downloadFile(byName, dir / "copy", {}, digest, error));
  EXPECT_EQ(error, "The update server must use https");
  std::string response;
  int status = -1;
  error.clear();
  EXPECT_FALSE(sendJsonRequest("POST", byName, "{}", "token", response, status, error));
  EXPECT_EQ(error, "The update server must use https");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(server.requestCount("/feed/latest.json"), 0);
  // The loopback address itself is this machine.
  EXPECT_TRUE(fetchText(server.url("/feed/latest.json"), body, error)) << error;
}

// A loopback server may redirect to another loopback path, but clear text
// never follows a redirect away from a loopback address.
TEST(HttpClearText, RedirectMustStayOnALoopbackAddress) {
  TestHttpServer first;
  TestHttpServer second;
  second.serve("/x", okBody("second"));
  TestResponse away;
  away.status = 302;
  away.location = "http://localhost:" + std::to_string(second.port()) + "/x";
  first.serve("/away", away);
  std::string body;
  std::string error;
  EXPECT_FALSE(fetchText(first.url("/away"), body, error));
  EXPECT_EQ(error, "The update server must use https");
  EXPECT_EQ(second.requestCount("/x"), 0);
  TestResponse near = away;
  near.location = second.url("/x");
  first.serve("/near", near);
  ASSERT_TRUE(fetchText(first.url("/near"), body, error)) << error;
  EXPECT_EQ(body, "second");
}

// Twelve threads ask one server at once; it sees eight connections, the other
// four wait for a place, and all twelve finish once the first are answered.
TEST(HttpConnections, NoMoreThanEightToOneServerFromTheWholeProcess) {
  TestHttpServer server(TestServerOptions{1, 32});
  constexpr int clients = 12;
  for (int i = 0; i < clients; ++i) {
    TestResponse held = okBody("answer " + std::to_string(i));
    held.hold = true;
    server.serve("/held/" + std::to_string(i), held);
  }
  std::vector<std::thread> threads;
  std::vector<std::string> errors(clients, "not run");
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      std::string body;
      std::string error;
      if (!fetchText(server.url("/held/" + std::to_string(i)), body, error)) {
        errors[static_cast<size_t>(i)] = error;
      } else if (body != "answer " + std::to_string(i)) {
        errors[static_cast<size_t>(i)] = "wrong body " + body;
      } else {
        errors[static_cast<size_t>(i)].clear();
      }
    });
  }
  const std::string origin = originOf(server);
  const bool settled =
      waitFor([&] { return server.heldCount() + serverConnections().waiting(origin) == clients; });
  EXPECT_TRUE(settled) << server.heldCount() << " held, " << serverConnections().waiting(origin) << " waiting";
  EXPECT_EQ(server.heldCount(), 8);
  EXPECT_EQ(server.openConnections(), 8);
  EXPECT_EQ(serverConnections().held(origin), 8);
  server.releaseHeld();
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(errors, std::vector<std::string>(clients, ""));
  EXPECT_EQ(server.mostRequestsAtOnce(), 8);
  EXPECT_EQ(serverConnections().held(origin), 0) << "ended threads keep no place";
}

// A request waiting for a place ends on its stop, without waiting for one.
TEST(HttpConnections, StopEndsTheWaitForAPlace) {
  TestHttpServer server(TestServerOptions{1, 16});
  TestResponse held = okBody("slow");
  held.hold = true;
  server.serve("/held", held);
  server.serve("/next", okBody("next"));
  std::vector<std::thread> holders;
  for (int i = 0; i < 8; ++i) {
    holders.emplace_back([&] {
      std::string body;
      std::string error;
      EXPECT_TRUE(fetchText(server.url("/held"), body, error)) << error;
    });
  }
  const std::string origin = originOf(server);
  ASSERT_TRUE(waitFor([&] { return server.heldCount() == 8; }));
  std::atomic<bool> stop{false};
  std::string error;
  std::thread waiter([&] {
    std::string body;
    EXPECT_FALSE(fetchText(server.url("/next"), body, error, [&] { return stop.load(); }));
  });
  ASSERT_TRUE(waitFor([&] { return serverConnections().waiting(origin) == 1; }));
  stop = true;
  // Joined while the eight are still held: the wait ended on the stop alone.
  waiter.join();
  EXPECT_EQ(error, "Cancelled");
  EXPECT_EQ(server.requestCount("/next"), 0);
  server.releaseHeld();
  for (std::thread& t : holders) t.join();
}

// A thread holds a place only where its one kept connection goes: moving to
// another server, or an answer that closes the connection, gives it back.
TEST(HttpConnections, AThreadHoldsAPlaceOnlyWhereItsConnectionGoes) {
  TestHttpServer first(TestServerOptions{30, 8});
  TestHttpServer second(TestServerOptions{30, 8});
  first.serve("/kept", okBody("a", true));
  first.serve("/closed", okBody("b", false));
  second.serve("/kept", okBody("c", true));
  std::thread([&] {
    std::string body;
    std::string error;
    ASSERT_TRUE(fetchText(first.url("/kept"), body, error)) << error;
    EXPECT_EQ(serverConnections().held(originOf(first)), 1);
    ASSERT_TRUE(fetchText(second.url("/kept"), body, error)) << error;
    EXPECT_EQ(serverConnections().held(originOf(first)), 0);
    EXPECT_EQ(serverConnections().held(originOf(second)), 1);
    ASSERT_TRUE(fetchText(first.url("/closed"), body, error)) << error;
    EXPECT_EQ(serverConnections().held(originOf(first)), 0);
    EXPECT_EQ(serverConnections().held(originOf(second)), 0);
  }).join();
  EXPECT_EQ(serverConnections().held(originOf(first)), 0);
  EXPECT_EQ(serverConnections().held(originOf(second)), 0);
}

}  // namespace
}  // namespace launcher
