// Browser mode's request handling: each input is sent as raw bytes over a
// loopback connection to one BrowserShell that serves for the whole run, and
// the answer read to its end. "{HOST}", "{ORIGIN}", "{TOKEN}" and "{SESSION}"
// in the input become the served host, origin, the printed address's token
// and a session the harness bought with a token of its own at the start, so
// inputs can get past the checks they are meant to meet (a token works once:
// the first input that spends it spends it for the run). Commands that get
// through reach the UI queue, which is pumped (and dropped) after each input.
#include "base/ui_queue.h"
#include "fuzz_support.h"
#include "shell/browser_shell.h"
#include "shell/page_files.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

using namespace launcher;

namespace {

// Sends `request` on a new loopback connection to `port` and returns what
// comes back, up to its end or a quiet second (an event stream stays open).
std::string exchange(uint16_t port, const std::string& request) {
  std::string answer;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return answer;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    char buffer[8192];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) break;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      if (answer.size() < 65536) answer.append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

std::string tokenOf(const std::string& address) {
  const size_t at = address.find("token=");
  return at == std::string::npos ? std::string() : address.substr(at + 6);
}

struct Server {
  Server() : ui([] {}) {
    (void)fuzz::scratch();
    PageSource source = pageSourceFromEnvironment();
    shell = std::make_unique<BrowserShell>(0, source, ui, [] {});
    std::string error;
    if (!shell->createWindow(error)) fuzz::violated(("browser mode could not start: " + error).c_str());
    shell->createWebView([](const nlohmann::json&) {});
    host = "127.0.0.1:" + std::to_string(shell->port());
    // The harness's own session, bought as the page buys one; a second start
    // then prints the token the inputs get.
    const std::string answer = exchange(shell->port(),
        "POST /bridge/session HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host + "\r\nX-Vantor-Token: " +
        tokenOf(shell->address()) + "\r\nContent-Length: 0\r\n\r\n");
    const std::string key = "\"session\":\"";
    const size_t at = answer.find(key);
    const size_t end = at == std::string::npos ? at : answer.find('"', at + key.size());
    if (end == std::string::npos) fuzz::violated("the printed address's token bought no session");
    session = answer.substr(at + key.size(), end - at - key.size());
    shell->activate();
    token = tokenOf(shell->address());
  }
  UiQueue ui;
  std::unique_ptr<BrowserShell> shell;
  std::string host;
  std::string token;
  std::string session;
};

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Server* server = new Server;  // its thread serves to the end of the run
  std::string request(reinterpret_cast<const char*>(data), size);
  replaceAll(request, "{ORIGIN}", "http://" + server->host);
  replaceAll(request, "{HOST}", server->host);
  replaceAll(request, "{TOKEN}", server->token);
  replaceAll(request, "{SESSION}", server->session);
  (void)exchange(server->shell->port(), request);
  server->ui.runPending();
  return 0;
}
