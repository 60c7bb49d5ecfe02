// An in-process HTTP server on 127.0.0.1 (any free port) for tests, able to
// make the faults a real static server cannot: scripted status codes, wrong
// content, gzip, bodies without Content-Length, redirects anywhere, huge
// generated bodies. Thread-safe: tests may change routes while it serves.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace launcher::testing {

struct TestResponse {
  int status = 200;
  std::string body;
  std::string contentType = "application/octet-stream";
  bool gzip = false;             // send the body gzip-encoded (Content-Encoding: gzip)
  bool noContentLength = false;  // send the body chunked, without Content-Length
  std::string location;          // with a 3xx status: the Location header
  uint64_t generatedSize = 0;    // when non-zero: a body of this many bytes of a fixed
                                 // pattern (see generatedBody), streamed, not held;
                                 // `body` and `gzip` are then ignored
  int delayMs = 0;               // wait before answering
  uint64_t cutAfter = 0;         // when non-zero: drop the connection after this many
                                 // body bytes (the headers promised the whole body)
  bool hold = false;             // say nothing (no status, no byte) until releaseHeld()
                                 // or the server's end: a server gone silent
  bool keepAlive = false;        // keep the connection open for the client's next request
};

// The pattern a generatedSize body holds: byte i is (i * 7 + 3) mod 251.
[[nodiscard]] std::string generatedBody(uint64_t size);

struct TestServerOptions {
  // How long a kept-alive connection may sit idle between two requests
  // before the server closes it. Short by default: at the server's end it
  // waits this long for each client that still keeps a connection open (a
  // thread's connection stays open until that thread ends).
  int keepAliveSeconds = 1;
  // Connections served at once; more wait, accepted, for a thread.
  int threads = 8;
};

// Faults made on purpose in answers that would otherwise go out whole with
// status 200, for paths beginning with `pathPrefix`. Counted across all such
// paths in arrival order.
struct TestFaults {
  std::string pathPrefix;
  // When non-zero: one byte of every Nth such answer is flipped (the 5th,
  // 10th, ... when 5). The length stays right, so only a digest can tell.
  int corruptEvery = 0;
  // This share (0 to 1) of such answers, picked by a generator seeded with
  // `seed`, fails: in turn a 503, a body cut after half its bytes, and a
  // flipped byte.
  double failShare = 0;
  uint64_t seed = 1;
};

class TestHttpServer {
 public:
  explicit TestHttpServer(TestServerOptions options = {});  // listening once the constructor returns
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  [[nodiscard]] int port() const;
  // "http://127.0.0.1:<port>" + path.
  [[nodiscard]] std::string url(const std::string& path) const;

  // Every GET of `path` gets `response` (after any scripted answers).
  void serve(const std::string& path, TestResponse response);
  // The next requests of `path` get these answers in order, then serve()'s.
  void script(const std::string& path, std::vector<TestResponse> answers);

  // Requests seen for `path` (any method).
  [[nodiscard]] int requestCount(const std::string& path) const;

  // Every request so far, in arrival order: its path and the client's port,
  // which tells the connections apart.
  struct LoggedRequest {
    std::string path;
    int clientPort = 0;
  };
  [[nodiscard]] std::vector<LoggedRequest> requestLog() const;

  // Answers held (TestResponse::hold) and not yet released.
  [[nodiscard]] int heldCount() const;
  // Lets every held answer, and every later one, go out.
  void releaseHeld();

  // Applies `faults` to every later answer (replacing earlier faults).
  void setFaults(TestFaults faults);
  // Answers the faults changed so far.
  [[nodiscard]] int faultsMade() const;

  // Connections accepted and not yet closed by the server, now and at most
  // so far; and requests being answered at once, at most so far (a held
  // answer counts while it is held).
  [[nodiscard]] int openConnections() const;
  [[nodiscard]] int mostOpenConnections() const;
  [[nodiscard]] int mostRequestsAtOnce() const;

  // The last request of `path`: its body and headers (names lowercase).
  struct SeenRequest {
    std::string method;
    std::string body;
    std::map<std::string, std::string> headers;
  };
  [[nodiscard]] SeenRequest lastRequest(const std::string& path) const;

  // Unknown paths answer 404.

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace launcher::testing
