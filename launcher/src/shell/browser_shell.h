// Browser mode: the page served on 127.0.0.1 to a browser, for a machine
// without a display and for end-to-end tests of the page.
//
// The server's thread never touches the application: commands reach the UI
// thread through the UiQueue, and messages for the page leave from the UI
// thread into per-stream queues that the server's thread drains.
//
// Access (shell/request_checks.h): the printed address carries a random
// 128-bit token that works once: the page's bridge trades it for a session
// secret and sends that in a header with every command and with the event
// stream. No cookie is set: browsers send a 127.0.0.1 cookie to every port
// of 127.0.0.1. The page's own files hold no secret and are served to any
// request that passes the Host, Origin and Sec-Fetch-Site checks. What a
// client can cost before any check is bounded (shell/http_server.h). Every
// response forbids framing and loading from other sites and carries a
// Content-Security-Policy that lets the page load only its own files.
#pragma once

#include "shell/app_shell.h"
#include "shell/page_files.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace launcher {

class BrowserShell final : public AppShell {
 public:
  // `endUi` is called on the UI thread by close(), to end the UI loop.
  BrowserShell(uint16_t port, PageSource source, UiQueue& queue, std::function<void()> endUi);
  ~BrowserShell() override;

  // UI thread. Binds 127.0.0.1:port (0: any free port), starts serving and
  // prints the address with its token as one line on standard output. False,
  // with `error` filled, when the port cannot be bound.
  [[nodiscard]] bool createWindow(std::string& error) override;
  void createWebView(CommandHandler onCommand) override;
  // UI thread. Queued for every open event stream; a "state" document is also
  // kept, and each new or reconnected stream receives it first.
  void sendToPage(const std::string& json) override;
  void minimize() override {}
  void beginDrag() override {}
  // UI thread. A second start asked for the launcher: it cannot show a
  // browser's tab, so it prints a new address with a new one-time token
  // (the previous unspent one stops working) for the player to open.
  void activate() override;
  void restore() override {}
  // UI thread. Ends every event stream, closes every connection and stops
  // listening (the port is free when it returns), then ends the UI loop.
  void close() override;
  [[nodiscard]] bool failed() const override { return false; }

  // After createWindow: the port served and the address with the newest token.
  [[nodiscard]] uint16_t port() const;
  [[nodiscard]] std::string address() const;
  // The connections open now, for tests.
  struct Connections {
    std::size_t open = 0;
    std::size_t withoutSession = 0;
  };
  [[nodiscard]] Connections connections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Where randomHex128 gets its bytes: fillRandomBytes's shape, so tests can
// hand in one that fails.
using RandomBytes = bool (*)(void* buffer, std::size_t length, std::string& error);

// 128 random bits from `source` (null: the system's, fillRandomBytes) as 32
// lower-case hex digits in `hex`. False, with `error` filled, when the
// source fails: never a guessable token.
[[nodiscard]] bool randomHex128(std::string& hex, std::string& error, RandomBytes source = nullptr);

// One Server-Sent Event carrying `text` (its line breaks split into data lines).
[[nodiscard]] std::string serverSentEvent(const std::string& text);

// `html` with `tag` placed right after its <head> (or <html>) start tag, or in
// front of everything when it has neither, so the tag's script runs before the
// page's own.
[[nodiscard]] std::string injectIntoHead(const std::string& html, const std::string& tag);

}  // namespace launcher
