#include "testing/test_http_server.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <random>
#include <thread>

namespace launcher::testing {

namespace {

constexpr size_t streamBlock = 64 * 1024;

// Byte i of generatedBody, written from `offset` on.
void fillPattern(char* out, uint64_t offset, size_t length) {
  uint64_t value = (offset * 7 + 3) % 251;
  for (size_t i = 0; i < length; ++i) {
    out[i] = static_cast<char>(value);
    value += 7;
    if (value >= 251) value -= 251;
  }
}

// The body as one gzip member (RFC 1952), as a server's encoder would send it.
std::string gzipped(const std::string& body) {
  z_stream z{};
  std::string out;
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    ADD_FAILURE() << "deflateInit2 failed";
    return out;
  }
  out.resize(deflateBound(&z, body.size()) + 32);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  z.avail_in = static_cast<uInt>(body.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) ADD_FAILURE() << "deflate did not finish";
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

constexpr uint64_t noFlip = std::numeric_limits<uint64_t>::max();

// The server's thread pool, counting the connections it was handed: each
// task is one accepted connection, served until it closes.
class CountingQueue : public httplib::TaskQueue {
 public:
  CountingQueue(size_t threads, std::function<void(int)> count) : pool_(threads), count_(std::move(count)) {}
  void enqueue(std::function<void()> fn) override {
    count_(+1);
    pool_.enqueue([this, fn = std::move(fn)] {
      fn();
      count_(-1);
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  std::function<void(int)> count_;
};

}  // namespace

std::string generatedBody(uint64_t size) {
  std::string body(size, '\0');
  fillPattern(body.data(), 0, body.size());
  return body;
}

struct TestHttpServer::Impl {
  httplib::Server server;
  std::thread thread;
  int port = 0;

  mutable std::mutex mutex;
  std::map<std::string, TestResponse> served;
  std::map<std::string, std::deque<TestResponse>> scripted;
  std::map<std::string, int> counts;
  std::map<std::string, SeenRequest> last;
  std::vector<LoggedRequest> log;
  std::condition_variable heldChanged;
  int held = 0;
  bool released = false;
  TestFaults faults;
  std::mt19937_64 random{1};
  int faultCandidates = 0;
  int faultTurn = 0;
  int faultsMade = 0;
  int openConnections = 0;
  int mostOpenConnections = 0;
  int answering = 0;
  int mostAnswering = 0;

  void countConnection(int change) {
    std::lock_guard<std::mutex> lock(mutex);
    openConnections += change;
    mostOpenConnections = std::max(mostOpenConnections, openConnections);
  }

  // How the faults change an answer about to go out whole with 200: a
  // status, a cut, or the offset of a byte to flip (noFlip for none).
  uint64_t applyFaults(const std::string& path, TestResponse& answer) {
    std::lock_guard<std::mutex> lock(mutex);
    if (answer.status != 200 || faults.pathPrefix.empty() || path.rfind(faults.pathPrefix, 0) != 0) return noFlip;
    const uint64_t size = answer.generatedSize > 0 ? answer.generatedSize : answer.body.size();
    if (size == 0 || answer.gzip) return noFlip;
    ++faultCandidates;
    int kind = -1;  // 0: 503, 1: cut, 2: flip
    if (faults.corruptEvery > 0 && faultCandidates % faults.corruptEvery == 0) kind = 2;
    if (kind < 0 && faults.failShare > 0 && std::uniform_real_distribution<double>(0, 1)(random) < faults.failShare) {
      kind = faultTurn++ % 3;
    }
    if (kind < 0) return noFlip;
    ++faultsMade;
    if (kind == 0) {
      answer = TestResponse{};
      answer.status = 503;
      answer.contentType = "text/plain";
      answer.body = "unavailable";
      return noFlip;
    }
    if (kind == 1) {
      answer.cutAfter = std::max<uint64_t>(1, size / 2);
      return noFlip;
    }
    return size / 2;
  }

  TestResponse answerFor(const httplib::Request& req) {
    std::lock_guard<std::mutex> lock(mutex);
    ++counts[req.path];
    log.push_back({req.path, req.remote_port});
    SeenRequest& seen = last[req.path];
    seen.method = req.method;
    seen.body = req.body;
    seen.headers.clear();
    for (const auto& [name, value] : req.headers) seen.headers[lowercase(name)] = value;
    if (auto it = scripted.find(req.path); it != scripted.end() && !it->second.empty()) {
      TestResponse next = std::move(it->second.front());
      it->second.pop_front();
      return next;
    }
    if (auto it = served.find(req.path); it != served.end()) return it->second;
    TestResponse missing;
    missing.status = 404;
    missing.contentType = "text/plain";
    missing.body = "not found";
    return missing;
  }

  void handle(const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++answering;
      mostAnswering = std::max(mostAnswering, answering);
    }
    respond(req, res);
    std::lock_guard<std::mutex> lock(mutex);
    --answering;
  }

  void respond(const httplib::Request& req, httplib::Response& res) {
    TestResponse answer = answerFor(req);
    const uint64_t flipAt = applyFaults(req.path, answer);
    if (answer.hold) {
      std::unique_lock<std::mutex> lock(mutex);
      ++held;
      heldChanged.wait(lock, [&] { return released; });
      --held;
    }
    if (answer.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
    res.status = answer.status;
    // Normally one request per connection: the client hangs up after each
    // answer, so no server thread sits in a keep-alive wait when the test ends.
    if (!answer.keepAlive) res.set_header("Connection", "close");
    if (!answer.location.empty()) res.set_header("Location", answer.location);

    // Where the body's bytes come from: a held string, or the pattern made
    // block by block (a test may ask for far more than memory).
    std::shared_ptr<const std::string> held;
    uint64_t size = answer.generatedSize;
    if (size == 0) {
      if (answer.gzip) res.set_header("Content-Encoding", "gzip");
      held = std::make_shared<const std::string>(answer.gzip ? gzipped(answer.body) : std::move(answer.body));
      size = held->size();
    }
    const uint64_t cut = answer.cutAfter;
    const bool chunked = answer.noContentLength;
    auto provide = [held, size, cut, chunked, flipAt](size_t offset, httplib::DataSink& sink) {
      if (cut > 0 && offset >= cut) return false;  // drops the connection
      if (offset >= size) {
        if (chunked) sink.done();
        return true;
      }
      size_t n = static_cast<size_t>(std::min<uint64_t>(streamBlock, size - offset));
      if (cut > 0) n = static_cast<size_t>(std::min<uint64_t>(n, cut - offset));
      const bool flipHere = flipAt >= offset && flipAt - offset < n;
      if (held && !flipHere) return sink.write(held->data() + offset, n);
      std::unique_ptr<char[]> block(new char[n]);
      if (held) {
        std::copy(held->data() + offset, held->data() + offset + n, block.get());
      } else {
        fillPattern(block.get(), offset, n);
      }
      if (flipHere) block[flipAt - offset] = static_cast<char>(~block[flipAt - offset]);
      return sink.write(block.get(), n);
    };
    if (chunked) {
      res.set_chunked_content_provider(answer.contentType, provide);
    } else if (size > 0) {
      // A sized provider rather than set_content: the server library would
      // otherwise compress text bodies on its own and hide what a test asked for.
      res.set_content_provider(size, answer.contentType,
                               [provide](size_t offset, size_t, httplib::DataSink& sink) {
                                 return provide(offset, sink);
                               });
    } else {
      res.set_content(std::string(), answer.contentType.c_str());
    }
  }
};

TestHttpServer::TestHttpServer(TestServerOptions options) : impl_(new Impl) {
  Impl& s = *impl_;
  auto handler = [this](const httplib::Request& req, httplib::Response& res) { impl_->handle(req, res); };
  s.server.Get(".*", handler);
  s.server.Post(".*", handler);
  s.server.Put(".*", handler);
  s.server.Patch(".*", handler);
  s.server.Delete(".*", handler);
  s.server.Options(".*", handler);
  // No cap on the requests a kept-alive connection may carry.
  s.server.set_keep_alive_timeout(options.keepAliveSeconds);
  const size_t threads = static_cast<size_t>(std::max(1, options.threads));
  s.server.new_task_queue = [&s, threads] {
    return new CountingQueue(threads, [&s](int change) { s.countConnection(change); });
  };
  s.server.set_keep_alive_max_count(100000);
  s.port = s.server.bind_to_any_port("127.0.0.1");
  if (s.port <= 0) {
    ADD_FAILURE() << "the test HTTP server could not bind to 127.0.0.1";
    return;
  }
  // The socket listens from here on; connections wait in its backlog until
  // the thread accepts them.
  s.thread = std::thread([&s] { s.server.listen_after_bind(); });
  // stop() is a no-op until the accept loop runs, so a server destroyed at
  // once would never end: wait for the loop.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!s.server.is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!s.server.is_running()) ADD_FAILURE() << "the test HTTP server did not start";
}

TestHttpServer::~TestHttpServer() {
  releaseHeld();
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::vector<TestHttpServer::LoggedRequest> TestHttpServer::requestLog() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->log;
}

int TestHttpServer::heldCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->held;
}

void TestHttpServer::releaseHeld() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->released = true;
  }
  impl_->heldChanged.notify_all();
}

void TestHttpServer::setFaults(TestFaults faults) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->random.seed(faults.seed);
  impl_->faults = std::move(faults);
  impl_->faultCandidates = 0;
  impl_->faultTurn = 0;
}

int TestHttpServer::faultsMade() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->faultsMade;
}

int TestHttpServer::openConnections() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->openConnections;
}

int TestHttpServer::mostOpenConnections() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->mostOpenConnections;
}

int TestHttpServer::mostRequestsAtOnce() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->mostAnswering;
}

int TestHttpServer::port() const { return impl_->port; }

std::string TestHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + path;
}

void TestHttpServer::serve(const std::string& path, TestResponse response) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->served[path] = std::move(response);
}

void TestHttpServer::script(const std::string& path, std::vector<TestResponse> answers) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto& queue = impl_->scripted[path];
  for (auto& answer : answers) queue.push_back(std::move(answer));
}

int TestHttpServer::requestCount(const std::string& path) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->counts.find(path);
  return it == impl_->counts.end() ? 0 : it->second;
}

TestHttpServer::SeenRequest TestHttpServer::lastRequest(const std::string& path) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->last.find(path);
  return it == impl_->last.end() ? SeenRequest{} : it->second;
}

}  // namespace launcher::testing
