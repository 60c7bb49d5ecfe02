// Browser mode's request handling: each input is sent as raw bytes over a
// loopback connection to one BrowserShell that serves for the whole run, and
// the answer read to its end. "{HOST}", "{ORIGIN}" and "{TOKEN}" in the input
// become the served host, origin and the printed address's token, so inputs
// can get past the checks they are meant to meet. Commands that get through
// reach the UI queue, which is pumped (and dropped) after each input.
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

struct Server {
  Server() : ui([] {}) {
    (void)fuzz::scratch();
    PageSource source = pageSourceFromEnvironment();
    shell = std::make_unique<BrowserShell>(0, source, ui, [] {});
    std::string error;
    if (!shell->createWindow(error)) fuzz::violated(("browser mode could not start: " + error).c_str());
    shell->createWebView([](const nlohmann::json&) {});
    host = "127.0.0.1:" + std::to_string(shell->port());
    const std::string address = shell->address();
    const size_t at = address.find("token=");
    token = at == std::string::npos ? std::string() : address.substr(at + 6);
  }
  UiQueue ui;
  std::unique_ptr<BrowserShell> shell;
  std::string host;
  std::string token;
};

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Server* server = new Server;  // its threads serve to the end of the run
  std::string request(reinterpret_cast<const char*>(data), size);
  replaceAll(request, "{ORIGIN}", "http://" + server->host);
  replaceAll(request, "{HOST}", server->host);
  replaceAll(request, "{TOKEN}", server->token);

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(server->shell->port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
    size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    // The answer, up to its end or a quiet second (an event stream stays open).
    char buffer[8192];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) break;
      if (::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    }
  }
  ::close(fd);
  server->ui.runPending();
  return 0;
}
