// What the core needs of the window and the page, and nothing more, so that a
// GTK window, the browser-mode server or a test's recorder can stand behind it.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

namespace launcher {

// The page. UI thread only.
class PagePort {
 public:
  virtual ~PagePort() = default;
  // Delivers one JSON message (compact text) to the page, which receives it
  // already parsed. Dropped when no page is loaded yet, or any more.
  virtual void sendToPage(const std::string& json) = 0;
};

// The main window. UI thread only. Without a window (browser mode, tests)
// minimize, beginDrag and activate do nothing.
class WindowPort {
 public:
  virtual ~WindowPort() = default;
  virtual void minimize() = 0;
  // Ends the UI: the window goes away and the UI loop ends, after which the
  // launcher shuts down in its usual order.
  virtual void close() = 0;
  // Starts moving the window with the pointer (the page's title area was pressed).
  virtual void beginDrag() = 0;
  // De-iconifies and presents the window (a second start asked for it).
  virtual void activate() = 0;
};

// How the page's commands reach the core: one JSON object per command, on the
// UI thread. Messages that are not JSON objects never get here.
using CommandHandler = std::function<void(const nlohmann::json& command)>;

}  // namespace launcher
