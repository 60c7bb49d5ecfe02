#include "shell/http_server.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <tuple>
#include <system_error>

namespace launcher {
namespace {

constexpr std::size_t readChunk = 4096;
constexpr std::size_t acceptsPerWake = 64;
constexpr std::size_t maxLingerBytes = 64 * 1024;
// An event stream takes more events only while less than this waits to be sent.
constexpr std::size_t streamWindow = 64 * 1024;
constexpr auto acceptPause = std::chrono::milliseconds(100);

const char* reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 303: return "See Other";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Unknown";
  }
}

void appendChunk(std::string& out, std::string_view data) {
  char size[20];
  auto [end, ec] = std::to_chars(size, size + sizeof size, data.size(), 16);
  out.append(size, end);
  out += "\r\n";
  out.append(data);
  out += "\r\n";
}

}  // namespace

bool EventStream::push(std::string_view text) {
  std::lock_guard lock(mutex_);
  if (ended_ || cut_) return false;
  if (pending_.size() + text.size() > maxPending_) {
    cut_ = true;
    pending_.clear();
    pending_.shrink_to_fit();
    return false;
  }
  pending_.append(text);
  return true;
}

void EventStream::end() {
  std::lock_guard lock(mutex_);
  ended_ = true;
}

EventStream::Taken EventStream::takeInto(std::string& out) {
  std::lock_guard lock(mutex_);
  out += pending_;
  pending_.clear();
  return {ended_, cut_};
}

struct HttpServer::Connection {
  enum class Phase { Head, Body, Reply, Stream, Linger };

  LoopbackSocket socket;
  std::string peer;
  Phase phase = Phase::Head;
  Clock::time_point deadline;
  bool trusted = false;
  bool closing = false;  // swept after this round
  HeadReader reader;
  bool headOnly = false;  // a HEAD request: the reply has no body
  std::size_t bodyLength = 0;
  std::string body;
  std::string out;  // bytes to send, from outSent on
  std::size_t outSent = 0;
  std::string_view tail;  // then these
  std::size_t tailSent = 0;
  std::shared_ptr<EventStream> stream;
  bool streamEnded = false;        // its last chunk is in `out`
  Clock::time_point lastQueued;    // a stream's bytes were last queued then
  Clock::time_point acceptedAt;
  std::size_t lingered = 0;
  bool wholeRequestRead = false;  // nothing of the request is left unread: no need to linger

  Connection(LoopbackSocket s, std::string p, HeadLimits limits) : socket(std::move(s)), peer(std::move(p)), reader(limits) {}
  [[nodiscard]] bool hasUnsent() const { return outSent < out.size() || tailSent < tail.size(); }
};

HttpServer::HttpServer(HttpServerOptions options, OnHead onHead, OnBody onBody)
    : options_(std::move(options)), onHead_(std::move(onHead)), onBody_(std::move(onBody)) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::bind(std::string& error) {
  std::string why;
  if (!listenOnLoopback(options_.port, listener_, port_, why)) {
    error = options_.port == 0 ? "Couldn't open a port on 127.0.0.1 for the browser: " + why
                               : "Couldn't serve on 127.0.0.1:" + std::to_string(options_.port) +
                                     "; is another program using that port? (" + why + ")";
    return false;
  }
  return true;
}

bool HttpServer::start(std::string& error) {
  std::string why;
  if (!waker_.open(why)) {
    listener_.close();
    error = "Couldn't start serving the browser: " + why;
    return false;
  }
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& e) {
    listener_.close();
    error = std::string("Couldn't start serving the browser: ") + e.what();
    return false;
  }
  return true;
}

void HttpServer::stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    waker_.wake();
    thread_.join();
  }
  listener_.close();
}

HttpServer::Counts HttpServer::counts() const {
  std::lock_guard lock(countsMutex_);
  return counts_;
}

void HttpServer::updateCounts() {
  Counts now;
  for (const auto& c : connections_) {
    ++now.open;
    if (!c->trusted) ++now.untrusted;
  }
  std::lock_guard lock(countsMutex_);
  counts_ = now;
}

void HttpServer::run() {
  std::vector<SocketWait> waits;
  std::string error;
  while (!stopping_) {
    Clock::time_point now = Clock::now();
    for (auto& c : connections_) {
      if (c->phase == Connection::Phase::Stream) feedStream(*c, now);
      // A deadline passed: the head, the body or the reply took too long, or
      // the lingering is over. Closed without a word, as an idle connection is.
      if (!c->closing && now >= nextEvent(*c)) c->closing = true;
    }
    Clock::time_point wakeAt = enforceCaps(now);
    std::erase_if(connections_, [](const auto& c) { return c->closing; });
    updateCounts();

    for (const auto& c : connections_) wakeAt = std::min(wakeAt, nextEvent(*c));
    const bool accepting = now >= acceptPausedUntil_ &&
                           (strangers() < options_.maxConnections || pickVictim(nullptr, now) != nullptr);
    if (now < acceptPausedUntil_) wakeAt = std::min(wakeAt, acceptPausedUntil_);

    waits.clear();
    SocketWait listen;
    listen.socket = &listener_;
    listen.read = accepting;
    waits.push_back(listen);
    for (const auto& c : connections_) {
      SocketWait wait;
      wait.socket = &c->socket;
      // A stream's reader sends nothing, but reading finds it gone at once.
      wait.read = c->phase != Connection::Phase::Reply;
      wait.write = c->hasUnsent();
      waits.push_back(wait);
    }
    int timeout = -1;
    if (wakeAt != Clock::time_point::max()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count() + 1;
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 60000));
    }
    if (waitForSockets(waits, &waker_, timeout, error) < 0) {
      std::this_thread::sleep_for(acceptPause);  // never a busy loop
      continue;
    }
    now = Clock::now();
    // The connections first: one that was accepted in this round was not waited on.
    const std::size_t waited = waits.size() - 1;
    for (std::size_t i = 0; i < waited; ++i) {
      Connection& c = *connections_[i];
      if (!waits[i + 1].ready || c.closing) continue;
      if (waits[i + 1].write) writeTo(c, now);
      if (!c.closing && waits[i + 1].read) readFrom(c, now);
    }
    if (waits[0].ready) acceptWaiting(now);
  }
  // Every stream's end goes out if the socket takes it now; nothing waits.
  for (auto& c : connections_) {
    if (c->phase == Connection::Phase::Stream && !c->streamEnded) {
      c->out += "0\r\n\r\n";
      c->streamEnded = true;
    }
    if (c->phase == Connection::Phase::Stream) writeTo(*c, Clock::now());
  }
  connections_.clear();
  listener_.close();
  updateCounts();
}

void HttpServer::acceptWaiting(Clock::time_point now) {
  for (std::size_t n = 0; n < acceptsPerWake; ++n) {
    if (strangers() >= options_.maxConnections) {
      Connection* victim = pickVictim(nullptr, now);
      // Full of fresh connections: the next ones wait in the system's queue,
      // where a browser's request is complete by the time it is taken.
      if (!victim) break;
      victim->closing = true;
    }
    LoopbackSocket socket;
    std::string peer;
    SocketIo result = acceptConnection(listener_, socket, peer);
    if (result == SocketIo::WouldBlock) break;
    if (result != SocketIo::Done) {
      // Out of descriptors, most likely: let some close before trying again.
      acceptPausedUntil_ = now + acceptPause;
      break;
    }
    auto c = std::make_unique<Connection>(std::move(socket), std::move(peer), options_.limits);
    c->acceptedAt = now;
    c->deadline = now + options_.headDeadline;
    connections_.push_back(std::move(c));
    // A browser's request is there as soon as its connection is: read it now.
    readFrom(*connections_.back(), now);
  }
}

std::size_t HttpServer::strangers() const {
  std::size_t n = 0;
  for (const auto& c : connections_) n += !c->trusted && !c->closing ? 1 : 0;
  return n;
}

// The connection to close to make room for `peer` (null: for anyone, taken
// from the client with the most), or null. In this order: connections
// already answered, then heads still coming, then the rest, the oldest first
// within each; never one younger than the grace, which a browser's fresh
// request needs to arrive. So a crowd costs its own oldest, never the page's
// new request.
HttpServer::Connection* HttpServer::pickVictim(const std::string* peer, Clock::time_point now) {
  std::map<std::string_view, std::size_t> perClient;
  if (!peer)
    for (const auto& c : connections_)
      if (!c->trusted && !c->closing) ++perClient[c->peer];
  Connection* best = nullptr;
  std::tuple<std::size_t, int> bestKey{0, 0};
  for (const auto& c : connections_) {
    if (c->trusted || c->closing || (peer && c->peer != *peer)) continue;
    const bool answered = c->phase == Connection::Phase::Linger;
    if (!answered && now - c->acceptedAt < options_.evictionGrace) continue;
    const int rank = answered ? 0 : c->phase == Connection::Phase::Head ? 1 : 2;
    // Larger is better: the biggest client, then the lowest rank; the first seen (oldest) on ties.
    std::tuple<std::size_t, int> key{peer ? 0 : perClient[c->peer], -rank};
    if (!best || key > bestKey) {
      best = c.get();
      bestKey = key;
    }
  }
  return best;
}

HttpServer::Clock::time_point HttpServer::enforceCaps(Clock::time_point now) {
  std::map<std::string, std::size_t> perClient;
  for (const auto& c : connections_)
    if (!c->trusted && !c->closing) ++perClient[c->peer];
  Clock::time_point recheck = Clock::time_point::max();
  for (auto& [peer, count] : perClient) {
    while (count > options_.maxConnectionsPerClient) {
      Connection* victim = pickVictim(&peer, now);
      if (!victim) break;
      victim->closing = true;
      --count;
    }
    if (count > options_.maxConnectionsPerClient) recheck = std::min(recheck, earliestAging(&peer));
  }
  if (strangers() >= options_.maxConnections && !pickVictim(nullptr, now))
    recheck = std::min(recheck, earliestAging(nullptr));
  return recheck;
}

HttpServer::Clock::time_point HttpServer::earliestAging(const std::string* peer) const {
  Clock::time_point earliest = Clock::time_point::max();
  for (const auto& c : connections_)
    if (!c->trusted && !c->closing && (!peer || c->peer == *peer))
      earliest = std::min(earliest, c->acceptedAt + options_.evictionGrace);
  return earliest;
}

void HttpServer::readFrom(Connection& c, Clock::time_point now) {
  char buffer[readChunk];
  std::size_t got = 0;
  SocketIo result = receiveSome(c.socket, buffer, sizeof buffer, got);
  if (result == SocketIo::WouldBlock) return;
  if (result != SocketIo::Done) {
    c.closing = true;  // gone, or done: a lingering or streaming peer closed
    return;
  }
  std::string_view data(buffer, got);
  switch (c.phase) {
    case Connection::Phase::Head: {
      std::size_t used = 0;
      HeadStatus status = c.reader.feed(data, used);
      if (status == HeadStatus::Complete) {
        headComplete(c, data.substr(used), now);
      } else if (status != HeadStatus::Incomplete) {
        refuse(c, statusFor(status, c.reader.inRequestLine()), now);
      }
      break;
    }
    case Connection::Phase::Body:
      c.body.append(data.substr(0, c.bodyLength - c.body.size()));
      if (c.body.size() == c.bodyLength) bodyComplete(c, now);
      break;
    case Connection::Phase::Linger:
      c.lingered += got;
      if (c.lingered > maxLingerBytes) c.closing = true;
      break;
    case Connection::Phase::Reply:
    case Connection::Phase::Stream:
      break;  // nothing more is expected of it; dropped
  }
}

void HttpServer::headComplete(Connection& c, std::string_view rest, Clock::time_point now) {
  const RequestHead& head = c.reader.head();
  c.headOnly = head.method == "HEAD";
  HeadDecision decision = onHead_(head, c.peer);
  if (decision.trusted) {
    std::size_t trusted = 0;
    for (const auto& other : connections_)
      trusted += other->trusted && !other->closing && other->phase != Connection::Phase::Linger ? 1 : 0;
    if (trusted >= options_.maxTrustedConnections) {
      if (decision.reply && decision.reply->stream) decision.reply->stream->end();
      refuse(c, 503, now);
      return;
    }
    c.trusted = true;
  }
  if (decision.reply) {
    c.wholeRequestRead = head.count("Transfer-Encoding") == 0 &&
                         (head.count("Content-Length") == 0 || head.value("Content-Length") == "0");
    startReply(c, std::move(*decision.reply), now);
    return;
  }
  // Only a body of a declared length, and only one length.
  if (head.count("Transfer-Encoding") != 0) return refuse(c, 411, now);
  std::size_t length = 0;
  if (head.count("Content-Length") > 1) return refuse(c, 400, now);
  if (head.count("Content-Length") == 1) {
    std::string_view text = head.value("Content-Length");
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (ec == std::errc::result_out_of_range) return refuse(c, 413, now);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return refuse(c, 400, now);
  }
  if (length > decision.maxBody) return refuse(c, 413, now);
  c.phase = Connection::Phase::Body;
  c.bodyLength = length;
  c.deadline = now + options_.bodyDeadline;
  c.body.reserve(std::min<std::size_t>(length, 64 * 1024));
  c.body.append(rest.substr(0, length));
  if (c.body.size() == c.bodyLength) bodyComplete(c, now);
}

void HttpServer::bodyComplete(Connection& c, Clock::time_point now) {
  std::string body = std::move(c.body);
  c.body.clear();
  c.wholeRequestRead = true;
  startReply(c, onBody_(c.reader.head(), std::move(body)), now);
}

void HttpServer::refuse(Connection& c, int status, Clock::time_point now) {
  HttpReply reply;
  reply.status = status;
  reply.contentType = "text/plain; charset=utf-8";
  reply.body = reasonPhrase(status);
  startReply(c, std::move(reply), now);
}

void HttpServer::startReply(Connection& c, HttpReply reply, Clock::time_point now) {
  if (c.headOnly) reply.stream.reset();
  std::string& out = c.out;
  out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonPhrase(reply.status) + "\r\n";
  if (!reply.contentType.empty()) out += "Content-Type: " + reply.contentType + "\r\n";
  std::string_view body = reply.body.empty() ? reply.staticBody : std::string_view(reply.body);
  if (reply.stream) {
    out += "Transfer-Encoding: chunked\r\n";
  } else if (reply.status != 204) {
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  out += "Connection: close\r\n";
  for (const auto& [name, value] : options_.headers) out += name + ": " + value + "\r\n";
  for (const auto& [name, value] : reply.headers) out += name + ": " + value + "\r\n";
  out += "\r\n";
  if (!c.headOnly && !reply.stream) {
    if (!reply.body.empty()) {
      out += reply.body;
    } else {
      c.tail = reply.staticBody;
    }
  }
  c.outSent = 0;
  c.tailSent = 0;
  c.stream = std::move(reply.stream);
  c.phase = c.stream ? Connection::Phase::Stream : Connection::Phase::Reply;
  // The handler may have taken a while: the reply's time starts now.
  now = Clock::now();
  c.deadline = now + options_.replyDeadline;
  c.lastQueued = now;
  writeTo(c, now);
}

void HttpServer::feedStream(Connection& c, Clock::time_point now) {
  if (c.streamEnded || c.closing || c.out.size() - c.outSent >= streamWindow) return;
  std::string events;
  EventStream::Taken taken = c.stream->takeInto(events);
  if (taken.cut) {
    c.closing = true;  // its reader fell too far behind: it reconnects to the last state
    return;
  }
  const bool wasIdle = !c.hasUnsent();
  if (!events.empty()) {
    appendChunk(c.out, events);
  } else if (!taken.ended && now - c.lastQueued >= options_.keepAliveInterval) {
    appendChunk(c.out, ": keep-alive\n\n");
  }
  if (taken.ended) {
    c.out += "0\r\n\r\n";
    c.streamEnded = true;
  }
  if (c.hasUnsent()) {
    c.lastQueued = now;
    if (wasIdle) c.deadline = now + options_.replyDeadline;
    writeTo(c, now);
  }
}

void HttpServer::writeTo(Connection& c, Clock::time_point now) {
  while (c.hasUnsent()) {
    const bool fromOut = c.outSent < c.out.size();
    const char* data = fromOut ? c.out.data() + c.outSent : c.tail.data() + c.tailSent;
    std::size_t size = fromOut ? c.out.size() - c.outSent : c.tail.size() - c.tailSent;
    std::size_t sent = 0;
    SocketIo result = sendSome(c.socket, data, size, sent);
    if (result == SocketIo::WouldBlock) return;
    if (result != SocketIo::Done) {
      c.closing = true;
      return;
    }
    (fromOut ? c.outSent : c.tailSent) += sent;
    if (c.phase == Connection::Phase::Stream) c.deadline = now + options_.replyDeadline;  // it reads: time again
  }
  finishWriting(c, now);
}

void HttpServer::finishWriting(Connection& c, Clock::time_point now) {
  c.out.clear();
  c.outSent = 0;
  c.tail = {};
  c.tailSent = 0;
  if (c.phase == Connection::Phase::Reply || (c.phase == Connection::Phase::Stream && c.streamEnded)) {
    // All said. A request read to its end is closed now (what was sent
    // still arrives); otherwise what the client still sends is read and
    // dropped for a moment, so closing does not reset the connection under
    // the reply.
    if (c.wholeRequestRead) {
      c.closing = true;
      return;
    }
    shutdownSending(c.socket);
    c.stream.reset();
    c.phase = Connection::Phase::Linger;
    c.deadline = now + options_.lingerTime;
  }
}

HttpServer::Clock::time_point HttpServer::nextEvent(const Connection& c) const {
  if (c.phase != Connection::Phase::Stream) return c.deadline;
  // A stream has no end of its own: only its unsent bytes are timed.
  if (c.hasUnsent()) return c.deadline;
  return c.streamEnded ? c.deadline : c.lastQueued + options_.keepAliveInterval;
}

}  // namespace launcher
