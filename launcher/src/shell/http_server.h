// Browser mode's HTTP/1.1 server on 127.0.0.1: one thread that accepts,
// reads and writes every connection without blocking, so no client, however
// slow or endless, can hold a thread or make it wait.
//
// What any local client can cost is bounded before any check: open
// connections per client address and in all (see HttpServerOptions: a crowd
// of slow connections cannot shut the page out), a deadline
// for a whole request head, a cap on its line length, header lines and size
// (shell/http_head.h), on a body, and on the time a reply may take to be read.
// Requests the handler trusts (it checked their session) are counted apart
// and never pushed out by a crowd. Every connection carries one request
// (replies say "Connection: close").
#pragma once

#include "platform/loopback_socket.h"
#include "shell/http_head.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace launcher {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// The events of one open stream to the page, queued from any thread and
// written by the server's thread.
class EventStream {
 public:
  explicit EventStream(std::size_t maxPendingBytes = std::size_t(4) << 20) : maxPending_(maxPendingBytes) {}

  // Any thread. Queues `text`; false (and dropped) once the stream has ended,
  // or when its reader has fallen so far behind that more than the cap waits:
  // the stream is cut then, and a reconnected page starts from the last state.
  bool push(std::string_view text);
  // Any thread. The stream ends once what is queued has gone.
  void end();

  struct Taken {
    bool ended = false;
    bool cut = false;
  };
  // The server's thread: moves what is queued to the end of `out`.
  Taken takeInto(std::string& out);

 private:
  std::mutex mutex_;
  std::string pending_;
  std::size_t maxPending_;
  bool ended_ = false;
  bool cut_ = false;
};

struct HttpReply {
  int status = 200;
  std::string contentType;  // none when empty
  std::string body;
  // Used instead of `body` when that is empty: bytes that outlive the server
  // (the page built in), sent without a copy.
  std::string_view staticBody;
  HttpHeaders headers;
  // When set the body is this stream's events, sent as they come (chunked).
  std::shared_ptr<EventStream> stream;
};

// What the handler makes of a complete head.
struct HeadDecision {
  std::optional<HttpReply> reply;  // answer now; else read the body, then onBody
  std::size_t maxBody = 0;          // bytes a body may have (more: 413)
  bool trusted = false;             // the request proved itself (a session): not counted with strangers
};

struct HttpServerOptions {
  uint16_t port = 0;  // 0: any free port
  HeadLimits limits;
  HttpHeaders headers;  // sent with every reply, refusals included
  // Connections without a session: per client address, and in all. A client
  // over its cap loses its oldest; when all are full, the oldest of the
  // client with the most makes room, else new ones wait in the system's queue.
  std::size_t maxConnectionsPerClient = 32;
  std::size_t maxConnections = 256;
  // Nothing pushes out a connection younger than this: a browser's request
  // always has time to arrive, however fast a crowd of others comes.
  std::chrono::milliseconds evictionGrace{1000};
  std::size_t maxTrustedConnections = 32;
  std::chrono::milliseconds headDeadline{10000};  // from accept to the head's blank line
  std::chrono::milliseconds bodyDeadline{10000};
  std::chrono::milliseconds replyDeadline{30000};  // a reply (or an event stream's pending bytes) must be read within it
  std::chrono::milliseconds keepAliveInterval{15000};  // an idle event stream gets a comment this often
  std::chrono::milliseconds lingerTime{2000};          // reading what a client still sends after its reply
};

class HttpServer {
 public:
  using OnHead = std::function<HeadDecision(const RequestHead& head, const std::string& peer)>;
  using OnBody = std::function<HttpReply(const RequestHead& head, std::string body)>;

  // The handlers run on the server's thread, one request at a time.
  HttpServer(HttpServerOptions options, OnHead onHead, OnBody onBody);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds 127.0.0.1; port() tells which port. False, with `error` filled for
  // the player, when the port cannot be bound.
  [[nodiscard]] bool bind(std::string& error);
  // After bind: starts the server's thread. False, with `error` filled, when
  // no thread starts (the port is let go then).
  [[nodiscard]] bool start(std::string& error);
  [[nodiscard]] uint16_t port() const { return port_; }
  // Any thread: the event streams have something new.
  void wake() { waker_.wake(); }
  // Ends every event stream (its end is sent when the socket takes it at
  // once), closes every connection and the port, and joins the thread: the
  // port is free when it returns. Not from a handler; later calls do nothing.
  void stop();

  // Open connections, for tests: all of them and those not trusted.
  struct Counts {
    std::size_t open = 0;
    std::size_t untrusted = 0;
  };
  [[nodiscard]] Counts counts() const;

 private:
  struct Connection;
  using Clock = std::chrono::steady_clock;

  void run();
  void acceptWaiting(Clock::time_point now);
  [[nodiscard]] std::size_t strangers() const;
  Connection* pickVictim(const std::string* peer, Clock::time_point now);
  // Closes what the per-client cap asks; when it could not (only fresh
  // connections left), when to look again.
  Clock::time_point enforceCaps(Clock::time_point now);
  [[nodiscard]] Clock::time_point earliestAging(const std::string* peer) const;
  void readFrom(Connection& c, Clock::time_point now);
  void writeTo(Connection& c, Clock::time_point now);
  void headComplete(Connection& c, std::string_view rest, Clock::time_point now);
  void bodyComplete(Connection& c, Clock::time_point now);
  void startReply(Connection& c, HttpReply reply, Clock::time_point now);
  void refuse(Connection& c, int status, Clock::time_point now);
  void feedStream(Connection& c, Clock::time_point now);
  void finishWriting(Connection& c, Clock::time_point now);
  [[nodiscard]] Clock::time_point nextEvent(const Connection& c) const;
  void updateCounts();

  HttpServerOptions options_;
  OnHead onHead_;
  OnBody onBody_;
  LoopbackSocket listener_;
  SocketWaker waker_;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::vector<std::unique_ptr<Connection>> connections_;  // the server's thread only; oldest first
  Clock::time_point acceptPausedUntil_{};
  mutable std::mutex countsMutex_;
  Counts counts_;
};

}  // namespace launcher
