// Browser mode: the page served on 127.0.0.1 to a browser, for a machine
// without a display and for end-to-end tests of the page.
//
// The server's threads never touch the application: commands reach the UI
// thread through the UiQueue, and messages for the page leave from the UI
// thread into per-stream queues that the server's threads drain.
//
// Access: the printed address carries a random 128-bit token; presenting it
// sets an HttpOnly, SameSite=Strict cookie (named with the port) and answers
// 303 to "/", so the token leaves the address bar. Every other request needs
// the cookie and a Host of exactly 127.0.0.1:PORT; a request that carries an
// Origin needs exactly http://127.0.0.1:PORT, and a POST must carry it. Anything
// else gets 403. No response may be framed, and request bodies are capped at
// 1 MiB.
#pragma once

#include "shell/app_shell.h"
#include "shell/page_files.h"

#include <sys/types.h>

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
  void activate() override {}
  void restore() override {}
  // UI thread. Ends every event stream and stops listening (the port is free
  // when it returns), then ends the UI loop. Requests already being answered
  // finish on the server's threads, which the destructor joins.
  void close() override;
  [[nodiscard]] bool failed() const override { return false; }

  // After createWindow: the port served and the address with the token.
  [[nodiscard]] uint16_t port() const;
  [[nodiscard]] std::string address() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// getrandom's shape: tests hand in one that fails.
using RandomSource = ssize_t (*)(void* buffer, std::size_t length, unsigned int flags);

// 128 random bits from `source` (null: getrandom) as 32 lower-case hex digits
// in `hex`. An interrupted call is retried. False, with `error` filled, when
// the source fails otherwise (no such call: ENOSYS) or gives no bytes.
[[nodiscard]] bool randomHex128(std::string& hex, std::string& error, RandomSource source = nullptr);

// One Server-Sent Event carrying `text` (its line breaks split into data lines).
[[nodiscard]] std::string serverSentEvent(const std::string& text);

// `html` with `tag` placed right after its <head> (or <html>) start tag, or in
// front of everything when it has neither, so the tag's script runs before the
// page's own.
[[nodiscard]] std::string injectIntoHead(const std::string& html, const std::string& tag);

}  // namespace launcher
