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
  // Brings the window back when it is minimised (the game it made way for
  // has ended); a window that is not minimised is left where it is.
  virtual void restore() = 0;
};

// How the page's commands reach the core: one JSON object per command, on the
// UI thread. Messages that are not JSON objects never get here.
using CommandHandler = std::function<void(const nlohmann::json& command)>;

// The window and the page together, as the application drives them at start-up.
// A GTK window with its web view, the browser-mode server and a headless stand-in
// each implement it.
class Shell : public PagePort, public WindowPort {
 public:
  // UI thread, once, before any worker starts: creates the window (or starts
  // serving the page in browser mode). False, with `error` filled, when it
  // cannot; the launcher then exits with code 1.
  [[nodiscard]] virtual bool createWindow(std::string& error) = 0;
  // UI thread, once, after the job worker has started: begins loading the page.
  // Returns at once; the page's commands reach `onCommand` on the UI thread
  // from then on, the first of them being "ready".
  virtual void createWebView(CommandHandler onCommand) = 0;
  // UI thread, after the UI loop has ended. True when the UI ended because it
  // could not go on (the page kept crashing); the launcher then exits with 1.
  [[nodiscard]] virtual bool failed() const { return false; }
};

}  // namespace launcher
