#include "shell/browser_shell.h"

#include "base/log.h"
#include "base/ui_queue.h"
#include "shell/bridge.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>

namespace launcher {
namespace {

constexpr std::size_t maxBodyBytes = 1 << 20;
constexpr std::size_t maxEventStreams = 8;
constexpr auto keepAliveInterval = std::chrono::seconds(15);

// The page's window.chrome.webview over fetch and EventSource. Commands wait
// until the event stream is open and go one at a time, in order.
constexpr const char* bridgeScript = R"JS((() => {
  if (window.chrome && window.chrome.webview) return;
  const target = new EventTarget();
  const waiting = [];
  let open = false;
  let sending = false;
  // The stream opens once the page's own scripts have run and listen, so the
  // state it starts with is not dispatched to nobody.
  const connect = () => {
    const events = new EventSource('/bridge/events');
    events.onopen = () => { open = true; pump(); };
    events.onerror = () => { open = false; };
    events.onmessage = (event) => {
      let data;
      try { data = JSON.parse(event.data); } catch (e) { return; }
      target.dispatchEvent(new MessageEvent('message', { data }));
    };
  };
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', connect, { once: true });
  else connect();
  async function pump() {
    if (sending) return;
    sending = true;
    while (open && waiting.length) {
      try {
        await fetch('/bridge/cmd', {
          method: 'POST', body: waiting[0], credentials: 'same-origin',
          headers: { 'Content-Type': 'text/plain;charset=utf-8' },
        });
      } catch (e) {
        setTimeout(pump, 500);  // not sent: the same command goes again
        break;
      }
      waiting.shift();  // delivered, or refused for good
    }
    sending = false;
  }
  window.chrome = window.chrome || {};
  window.chrome.webview = Object.freeze({
    postMessage(message) {
      if (typeof message !== 'string') return;  // as in the window: text only
      waiting.push(message);
      pump();
    },
    addEventListener: target.addEventListener.bind(target),
    removeEventListener: target.removeEventListener.bind(target),
  });
})();
)JS";

bool equalsInConstantTime(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

std::string cookieValue(const std::string& header, const std::string& name) {
  std::size_t pos = 0;
  while (pos < header.size()) {
    std::size_t end = header.find(';', pos);
    if (end == std::string::npos) end = header.size();
    std::string_view pair(header.data() + pos, end - pos);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    if (pair.size() > name.size() && pair.substr(0, name.size()) == name && pair[name.size()] == '=')
      return std::string(pair.substr(name.size() + 1));
    pos = end + 1;
  }
  return {};
}

bool isStateDocument(const std::string& json) {
  nlohmann::json message = nlohmann::json::parse(json, nullptr, false);
  if (!message.is_object()) return false;
  auto type = message.find("type");
  return type != message.end() && type->is_string() && *type == "state";
}

void forbid(httplib::Response& res) {
  res.status = 403;
  res.set_content("Forbidden", "text/plain; charset=utf-8");
}

// The commands' way to the UI thread; outlives the shell while closures wait.
struct CommandSink {
  CommandHandler handler;  // UI thread only
};

// The library's server, plus a way to let go of a socket that was bound but
// never listened on (the library closes it only when listening ends). Only
// for that: once listening ran, the socket is the library's.
class Server final : public httplib::Server {
 public:
  void closeUnlistened() {
    socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) ::close(sock);
  }
};

}  // namespace

bool randomHex128(std::string& hex, std::string& error, RandomSource source) {
  if (source == nullptr) source = [](void* buffer, std::size_t length, unsigned int flags) {
    return ::getrandom(buffer, length, flags);
  };
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = source(bytes + got, sizeof bytes - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;  // a signal came first: ask again
    } else {
      // No kernel source (ENOSYS), or one that gives nothing: never a guessable token.
      error = std::string("Couldn't get random bytes for the browser's token: ") +
              (n < 0 ? std::strerror(errno) : "none came");
      return false;
    }
  }
  static const char digits[] = "0123456789abcdef";
  hex.clear();
  for (unsigned char b : bytes) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  return true;
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
  struct Stream {
    std::deque<std::string> pending;  // events not yet written
    bool evicted = false;             // a newer stream took its place: end it
  };

  Impl(uint16_t port, PageSource source, UiQueue& queue, std::function<void()> endUi)
      : requestedPort(port), source(std::move(source)), queue(queue), endUi(std::move(endUi)),
        commands(std::make_shared<CommandSink>()) {}

  bool start(std::string& error);
  void stopListening();
  void stop();
  bool allowed(const httplib::Request& req, httplib::Response& res);
  void serveEvents(httplib::Response& res);
  void serveCommand(const httplib::Request& req, httplib::Response& res);
  void servePage(const httplib::Request& req, httplib::Response& res);

  uint16_t requestedPort;
  PageSource source;
  UiQueue& queue;
  std::function<void()> endUi;
  std::shared_ptr<CommandSink> commands;
  std::string token;    // written by start(), before the server runs
  std::string session;  // the cookie's value; likewise
  int port = 0;
  std::string host;    // "127.0.0.1:PORT"
  std::string origin;  // "http://127.0.0.1:PORT"
  std::string cookieName;

  Server server;
  std::thread thread;
  std::atomic<bool> listenEnded{false};
  std::atomic<bool> stopped{false};  // the library's stop() may run only once

  std::mutex mutex;  // guards what follows
  std::condition_variable changed;
  std::list<std::shared_ptr<Stream>> streams;
  std::string lastState;
  bool ending = false;
};

bool BrowserShell::Impl::start(std::string& error) {
  if (!randomHex128(token, error) || !randomHex128(session, error)) return false;
  server.new_task_queue = [] { return new httplib::ThreadPool(12); };
  // SO_REUSEADDR only: the library's default SO_REUSEPORT would let a second
  // server share the port silently instead of failing to bind.
  // The listening socket is also kept from every child process.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    fcntl(sock, F_SETFD, fcntl(sock, F_GETFD) | FD_CLOEXEC);
  });
  server.set_payload_max_length(maxBodyBytes);
  server.set_default_headers({
      {"Content-Security-Policy", "frame-ancestors 'none'"},
      {"X-Frame-Options", "DENY"},
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
  });
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    return allowed(req, res) ? httplib::Server::HandlerResponse::Unhandled : httplib::Server::HandlerResponse::Handled;
  });
  server.Get("/bridge/events", [this](const httplib::Request&, httplib::Response& res) { serveEvents(res); });
  server.Get("/bridge/bridge.js", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(bridgeScript, "text/javascript; charset=utf-8");
  });
  server.Post("/bridge/cmd", [this](const httplib::Request& req, httplib::Response& res) { serveCommand(req, res); });
  server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) { servePage(req, res); });

  if (requestedPort == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else {
    port = server.bind_to_port("127.0.0.1", requestedPort) ? requestedPort : -1;
  }
  if (port <= 0) {
    error = requestedPort == 0 ? "Couldn't open a port on 127.0.0.1 for the browser."
                               : "Couldn't serve on 127.0.0.1:" + std::to_string(requestedPort) +
                                     "; is another program using that port?";
    return false;
  }
  host = "127.0.0.1:" + std::to_string(port);
  origin = "http://" + host;
  cookieName = "vantor_session_" + std::to_string(port);
  try {
    thread = std::thread([this] {
      server.listen_after_bind();
      listenEnded = true;
    });
  } catch (const std::system_error& e) {
    server.closeUnlistened();
    error = std::string("Couldn't start serving the browser: ") + e.what();
    return false;
  }
  // A stop() that came before the server runs would be lost and leave the
  // thread listening for ever, so return only once it runs.
  while (!server.is_running() && !listenEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!server.is_running()) {
    thread.join();
    error = "Couldn't serve on 127.0.0.1:" + std::to_string(port) + ".";
    return false;
  }
  return true;
}

// Ends every event stream and closes the listening socket, so the port is free
// at once; requests already accepted still finish on the pool's threads.
void BrowserShell::Impl::stopListening() {
  {
    std::lock_guard lock(mutex);
    ending = true;
  }
  changed.notify_all();
  // The library's stop() is made to be called from another thread than the
  // one listening, but not twice.
  if (!stopped.exchange(true)) server.stop();
}

void BrowserShell::Impl::stop() {
  stopListening();
  if (thread.joinable()) thread.join();
}

bool BrowserShell::Impl::allowed(const httplib::Request& req, httplib::Response& res) {
  // Closed: a connection kept alive from before may still bring a request,
  // which must not reach a launcher that is going (nor look like a new one's).
  {
    std::lock_guard lock(mutex);
    if (ending) {
      res.status = 503;
      res.set_header("Connection", "close");
      res.set_content("The launcher has closed.", "text/plain; charset=utf-8");
      return false;
    }
  }
  // A page of any other site, or a name that merely resolves here, never gets in.
  if (req.get_header_value("Host") != host) {
    forbid(res);
    return false;
  }
  // Any other site's request carries its Origin; only a browser's own
  // navigations and same-origin reads come without one, and never a POST.
  const std::size_t origins = req.get_header_value_count("Origin");
  const bool read = req.method == "GET" || req.method == "HEAD";
  if (origins > 1 || (origins == 1 && req.get_header_value("Origin") != origin) || (origins == 0 && !read)) {
    forbid(res);
    return false;
  }
  if (req.has_param("token")) {
    if (!equalsInConstantTime(req.get_param_value("token"), token)) {
      forbid(res);
      return false;
    }
    res.set_header("Set-Cookie", cookieName + "=" + session + "; Path=/; HttpOnly; SameSite=Strict");
    res.set_redirect("/", 303);
    return false;
  }
  if (!equalsInConstantTime(cookieValue(req.get_header_value("Cookie"), cookieName), session)) {
    forbid(res);
    return false;
  }
  return true;
}

void BrowserShell::Impl::serveEvents(httplib::Response& res) {
  auto stream = std::make_shared<Stream>();
  bool evicted = false;
  {
    std::lock_guard lock(mutex);
    if (ending) {
      res.status = 503;
      return;
    }
    // A closed tab's stream is noticed only at its next write; rather than
    // refuse a new stream meanwhile, the oldest one makes room.
    if (streams.size() >= maxEventStreams) {
      streams.front()->evicted = true;
      streams.pop_front();
      evicted = true;
    }
    // A browser reconnects quickly after a dropped stream; the state it missed
    // comes first.
    stream->pending.push_back("retry: 1000\n\n");
    if (!lastState.empty()) stream->pending.push_back(serverSentEvent(lastState));
    streams.push_back(stream);
  }
  // The pushed-out stream ends now, not at its next keep-alive, and frees its thread.
  if (evicted) changed.notify_all();
  res.set_header("X-Accel-Buffering", "no");
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, stream](std::size_t, httplib::DataSink& sink) {
        std::string out;
        {
          std::unique_lock lock(mutex);
          changed.wait_for(lock, keepAliveInterval,
                           [&] { return ending || stream->evicted || !stream->pending.empty(); });
          if (ending || stream->evicted) {
            lock.unlock();
            sink.done();
            return true;
          }
          for (std::string& event : stream->pending) out += event;
          stream->pending.clear();
        }
        if (out.empty()) out = ": keep-alive\n\n";  // finds a client that went away
        return sink.write(out.data(), out.size());
      },
      [this, stream](bool) {
        std::lock_guard lock(mutex);
        streams.remove(stream);
      });
}

void BrowserShell::Impl::serveCommand(const httplib::Request& req, httplib::Response& res) {
  std::optional<nlohmann::json> command = parsePageMessage(req.body);
  if (command) {
    std::weak_ptr<CommandSink> sink = commands;
    bool posted = queue.post([sink, command = std::move(*command)] {
      if (auto alive = sink.lock(); alive && alive->handler) alive->handler(command);
    });
    if (!posted) {
      res.status = 503;
      return;
    }
  }
  // Not an object: ignored, as in the window.
  res.status = 204;
}

void BrowserShell::Impl::servePage(const httplib::Request& req, httplib::Response& res) {
  std::string path = req.path;
  if (!path.empty() && path.front() == '/') path.erase(0, 1);
  PageResponse page = servePagePath(path, source);
  res.status = page.status;
  if (page.status == 200 && page.contentType.rfind("text/html", 0) == 0)
    page.body = injectIntoHead(page.body, "<script src=\"/bridge/bridge.js\"></script>");
  res.set_content(std::move(page.body), page.contentType.c_str());
}

BrowserShell::BrowserShell(uint16_t port, PageSource source, UiQueue& queue, std::function<void()> endUi)
    : impl_(std::make_unique<Impl>(port, std::move(source), queue, std::move(endUi))) {}

BrowserShell::~BrowserShell() { impl_->stop(); }

bool BrowserShell::createWindow(std::string& error) {
  if (!impl_->start(error)) {
    logf("error", "{}", error);
    return false;
  }
  // The token is never logged: whoever reads the log must not be able to drive the launcher.
  logf("info", "Serving the page for a browser at {}/", impl_->origin);
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
    for (auto& stream : impl_->streams) stream->pending.push_back(event);
  }
  impl_->changed.notify_all();
}

void BrowserShell::close() {
  // The port is free before the launcher lets go of its instance lock, so a
  // launcher started right after (a restart with the same --port) can bind it.
  impl_->stopListening();
  if (impl_->endUi) impl_->endUi();
}

uint16_t BrowserShell::port() const { return static_cast<uint16_t>(impl_->port); }

std::string BrowserShell::address() const { return impl_->origin + "/?token=" + impl_->token; }

}  // namespace launcher
