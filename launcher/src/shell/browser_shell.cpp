#include "shell/browser_shell.h"

#include "base/log.h"
#include "base/ui_queue.h"
#include "platform/random.h"
#include "shell/bridge.h"
#include "shell/browser_bridge_script.h"
#include "shell/http_server.h"
#include "shell/request_checks.h"

#include <cctype>
#include <cstdio>
#include <deque>
#include <list>
#include <mutex>

namespace launcher {
namespace {

constexpr std::size_t maxBodyBytes = 1 << 20;
constexpr std::size_t maxEventStreams = 8;
// Sessions live as long as the launcher; each needed a printed token.
constexpr std::size_t maxSessions = 16;

// The page loads only its own files: no inline script or style, no plugin, no
// other base, no form sent anywhere, and no other page may frame it. Images
// may also be data: addresses, for the page's empty icon ("data:,"), which
// keeps the browser from asking for /favicon.ico.
constexpr const char* contentSecurityPolicy =
    "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

constexpr const char* spentAddressText =
    "This address has been used already, or is not this launcher's. Open the address the launcher printed "
    "last; it works once, and starting vantor-launcher again prints a new one.\n";

bool isStateDocument(const std::string& json) {
  nlohmann::json message = nlohmann::json::parse(json, nullptr, false);
  if (!message.is_object()) return false;
  auto type = message.find("type");
  return type != message.end() && type->is_string() && *type == "state";
}

bool randomHex(std::size_t bytes, std::string& hex, std::string& error, RandomBytes source) {
  unsigned char buffer[64];
  if (bytes > sizeof buffer) return false;
  std::string why;
  if (!source(buffer, bytes, why)) {
    error = "Couldn't get random bytes for the browser's token: " + why;
    return false;
  }
  static const char digits[] = "0123456789abcdef";
  hex.clear();
  for (std::size_t i = 0; i < bytes; ++i) {
    hex += digits[buffer[i] >> 4];
    hex += digits[buffer[i] & 15];
  }
  return true;
}

HttpReply textReply(int status, std::string text) {
  HttpReply reply;
  reply.status = status;
  reply.contentType = "text/plain; charset=utf-8";
  reply.body = std::move(text);
  return reply;
}

// The commands' way to the UI thread; outlives the shell while closures wait.
struct CommandSink {
  CommandHandler handler;  // UI thread only
};

}  // namespace

bool randomHex128(std::string& hex, std::string& error, RandomBytes source) {
  return randomHex(16, hex, error, source ? source : fillRandomBytes);
}

std::string serverSentEvent(const std::string& text) {
  std::string event;
  std::size_t pos = 0;
  while (true) {
    std::size_t end = text.find_first_of("\r\n", pos);
    event += "data: ";
    event.append(text, pos, end == std::string::npos ? std::string::npos : end - pos);
    event += '\n';
    if (end == std::string::npos) break;
    pos = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  event += '\n';
  return event;
}

std::string injectIntoHead(const std::string& html, const std::string& tag) {
  auto findStartTag = [&](std::string_view name) -> std::size_t {
    for (std::size_t pos = html.find('<'); pos != std::string::npos; pos = html.find('<', pos + 1)) {
      std::size_t i = pos + 1;
      std::size_t k = 0;
      while (k < name.size() && i + k < html.size() && std::tolower(static_cast<unsigned char>(html[i + k])) == name[k])
        ++k;
      if (k != name.size() || i + k >= html.size()) continue;
      char after = html[i + k];
      if (after != '>' && after != ' ' && after != '\t' && after != '\n' && after != '\r' && after != '/') continue;
      std::size_t close = html.find('>', i + k);
      return close == std::string::npos ? std::string::npos : close + 1;
    }
    return std::string::npos;
  };
  std::size_t at = findStartTag("head");
  if (at == std::string::npos) at = findStartTag("html");
  if (at == std::string::npos) at = 0;
  return html.substr(0, at) + tag + html.substr(at);
}

struct BrowserShell::Impl {
  Impl(uint16_t port, PageSource source, UiQueue& queue, std::function<void()> endUi)
      : requestedPort(port), source(std::move(source)), queue(queue), endUi(std::move(endUi)),
        commands(std::make_shared<CommandSink>()) {}

  bool start(std::string& error);
  HeadDecision onHead(const RequestHead& head);
  HttpReply onCommand(std::string body);
  HttpReply page(const RequestHead& head) const;
  HttpReply exchangeToken(const RequestHead& head);
  HttpReply openStream();
  bool newToken(std::string& error);

  uint16_t requestedPort;
  PageSource source;
  UiQueue& queue;
  std::function<void()> endUi;
  std::shared_ptr<CommandSink> commands;
  ServedAddress served;  // written by start(), before the server's thread runs
  Credentials credentials;
  std::unique_ptr<HttpServer> server;

  mutable std::mutex mutex;  // guards what follows
  std::string token;         // the newest token printed
  bool tokenSpent = false;
  std::deque<std::string> sessions;               // oldest first
  std::list<std::weak_ptr<EventStream>> streams;  // oldest first
  std::string lastState;
};

bool BrowserShell::Impl::newToken(std::string& error) {
  std::string fresh;
  if (!randomHex128(fresh, error)) return false;
  std::lock_guard lock(mutex);
  token = std::move(fresh);
  tokenSpent = false;
  return true;
}

bool BrowserShell::Impl::start(std::string& error) {
  if (!newToken(error)) return false;
  credentials.isSession = [this](std::string_view secret) {
    std::lock_guard lock(mutex);
    bool found = false;
    for (const std::string& session : sessions) found |= equalsInConstantTime(secret, session);
    return found;
  };
  credentials.isUnspentToken = [this](std::string_view candidate) {
    std::lock_guard lock(mutex);
    return !tokenSpent && equalsInConstantTime(candidate, token);
  };
  HttpServerOptions options;
  options.port = requestedPort;
  options.headers = {
      {"Content-Security-Policy", contentSecurityPolicy},
      {"Cross-Origin-Resource-Policy", "same-origin"},
      {"X-Frame-Options", "DENY"},
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
  };
  server = std::make_unique<HttpServer>(
      std::move(options), [this](const RequestHead& head, const std::string&) { return onHead(head); },
      [this](const RequestHead&, std::string body) { return onCommand(std::move(body)); });
  if (!server->bind(error)) return false;
  served.host = "127.0.0.1:" + std::to_string(server->port());
  served.origin = "http://" + served.host;
  return server->start(error);
}

HeadDecision BrowserShell::Impl::onHead(const RequestHead& head) {
  HeadDecision decision;
  RequestVerdict verdict = checkRequest(head, served, credentials);
  if (verdict.status != 0) {
    decision.reply = textReply(verdict.status, verdict.spentToken ? spentAddressText : "Forbidden\n");
    return decision;
  }
  switch (verdict.route) {
    case Route::Page:
      decision.reply = page(head);
      break;
    case Route::BridgeScript:
      decision.reply = HttpReply{};
      decision.reply->contentType = "text/javascript; charset=utf-8";
      decision.reply->staticBody = browserBridgeScript();
      break;
    case Route::SessionExchange:
      decision.reply = exchangeToken(head);
      break;
    case Route::Events:
      decision.trusted = true;
      decision.reply = openStream();
      break;
    case Route::Command:
      decision.trusted = true;
      decision.maxBody = maxBodyBytes;
      break;
  }
  return decision;
}

HttpReply BrowserShell::Impl::exchangeToken(const RequestHead& head) {
  std::string secret;
  std::string error;
  if (!randomHex(32, secret, error, fillRandomBytes)) {
    logf("error", "{}", error);
    return textReply(503, "No session could be made.\n");
  }
  {
    std::lock_guard lock(mutex);
    if (tokenSpent || !equalsInConstantTime(head.value(tokenHeader), token)) return textReply(403, "Forbidden\n");
    // Spent: the printed address opens no second session.
    tokenSpent = true;
    sessions.push_back(secret);
    if (sessions.size() > maxSessions) sessions.pop_front();
  }
  logf("info", "A browser's page traded the address's token for a session");
  HttpReply reply;
  reply.contentType = "application/json";
  reply.body = nlohmann::json{{"session", secret}}.dump();
  return reply;
}

HttpReply BrowserShell::Impl::openStream() {
  auto stream = std::make_shared<EventStream>();
  {
    std::lock_guard lock(mutex);
    streams.remove_if([](const std::weak_ptr<EventStream>& s) { return s.expired(); });
    // A closed tab's stream may linger until its socket says so; rather than
    // refuse a new stream meanwhile, the oldest one makes room.
    if (streams.size() >= maxEventStreams) {
      if (auto oldest = streams.front().lock()) oldest->end();
      streams.pop_front();
    }
    // A browser reconnects quickly after a dropped stream; the state it missed
    // comes first.
    (void)stream->push("retry: 1000\n\n");
    if (!lastState.empty()) (void)stream->push(serverSentEvent(lastState));
    streams.push_back(stream);
  }
  HttpReply reply;
  reply.contentType = "text/event-stream";
  reply.headers = {{"X-Accel-Buffering", "no"}};
  reply.stream = std::move(stream);
  return reply;
}

HttpReply BrowserShell::Impl::onCommand(std::string body) {
  std::optional<nlohmann::json> command = parsePageMessage(body);
  if (command) {
    std::weak_ptr<CommandSink> sink = commands;
    bool posted = queue.post([sink, command = std::move(*command)] {
      if (auto alive = sink.lock(); alive && alive->handler) alive->handler(command);
    });
    if (!posted) return textReply(503, "The launcher is closing.\n");
  }
  // Not an object: ignored, as in the window.
  HttpReply reply;
  reply.status = 204;
  return reply;
}

HttpReply BrowserShell::Impl::page(const RequestHead& head) const {
  std::string path = head.path.substr(1);
  if (path.empty()) path = "index.html";
  HttpReply reply;
  // The built-in files go out from where they are, never copied per request.
  if (source.overrideFolder.empty()) {
    const EmbeddedFile* file = findEmbeddedFile(source.embedded, path);
    if (file && file->size > 0 && std::string_view(file->contentType).rfind("text/html", 0) != 0) {
      reply.contentType = file->contentType;
      reply.staticBody = std::string_view(reinterpret_cast<const char*>(file->data), file->size);
      return reply;
    }
  }
  PageResponse page = servePagePath(path, source);
  reply.status = page.status;
  reply.contentType = page.contentType;
  if (page.status == 200 && page.contentType.rfind("text/html", 0) == 0)
    page.body = injectIntoHead(page.body, "<script src=\"/bridge/bridge.js\"></script>");
  reply.body = std::move(page.body);
  return reply;
}

BrowserShell::BrowserShell(uint16_t port, PageSource source, UiQueue& queue, std::function<void()> endUi)
    : impl_(std::make_unique<Impl>(port, std::move(source), queue, std::move(endUi))) {}

BrowserShell::~BrowserShell() {
  if (impl_->server) impl_->server->stop();
}

bool BrowserShell::createWindow(std::string& error) {
  if (!impl_->start(error)) {
    logf("error", "{}", error);
    return false;
  }
  // The token is never logged: whoever reads the log must not be able to drive the launcher.
  logf("info", "Serving the page for a browser at {}/", impl_->served.origin);
  std::printf("%s\n", address().c_str());
  std::fflush(stdout);
  return true;
}

void BrowserShell::createWebView(CommandHandler onCommand) { impl_->commands->handler = std::move(onCommand); }

void BrowserShell::sendToPage(const std::string& json) {
  if (!isValidUtf8(json)) {
    logf("warn", "Dropped a page message that is not valid UTF-8");
    return;
  }
  std::string event = serverSentEvent(json);
  bool state = isStateDocument(json);
  {
    std::lock_guard lock(impl_->mutex);
    if (state) impl_->lastState = json;
    for (auto& weak : impl_->streams)
      if (auto stream = weak.lock()) (void)stream->push(event);
  }
  if (impl_->server) impl_->server->wake();
}

void BrowserShell::activate() {
  if (!impl_->server) return;
  std::string error;
  if (!impl_->newToken(error)) {
    logf("error", "{}", error);
    return;
  }
  logf("info", "Another start asked for the launcher: printed a new address for a browser");
  std::printf("%s\n", address().c_str());
  std::fflush(stdout);
}

void BrowserShell::close() {
  // The port is free before the launcher lets go of its instance lock, so a
  // launcher started right after (a restart with the same --port) can bind it.
  if (impl_->server) impl_->server->stop();
  if (impl_->endUi) impl_->endUi();
}

uint16_t BrowserShell::port() const { return impl_->server ? impl_->server->port() : 0; }

std::string BrowserShell::address() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->served.origin + "/?token=" + impl_->token;
}

BrowserShell::Connections BrowserShell::connections() const {
  if (!impl_->server) return {};
  HttpServer::Counts counts = impl_->server->counts();
  return {counts.open, counts.untrusted};
}

}  // namespace launcher
