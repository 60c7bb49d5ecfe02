// The seam between the executable and the window module: a shared library,
// carried inside the executable and loaded only when a window opens, that
// alone links GTK and WebKitGTK. Browser mode, the headless page and every
// command-line use never map those libraries.
//
// Both sides are built together from this header, so plain C++ types cross
// it. The module links nothing of the launcher's own (its log, its page
// table, its bridge rules stay single copies in the executable): whatever it
// needs of them it asks through WindowHost.
#pragma once

#include "shell/navigation_policy.h"

#include <string>
#include <string_view>

namespace launcher {

struct PageResponse;

// What the window needs of the launcher around it. The executable implements
// it; every call comes on the UI thread.
class WindowHost {
 public:
  virtual ~WindowHost() = default;
  // A line for the launcher's log ("info", "warn" or "error").
  virtual void log(const char* level, const std::string& message) = 0;
  // The page file a request of the web view asks for, by its full address.
  virtual void servePage(std::string_view uri, PageResponse& response) = 0;
  // What the web view may do with an address it is about to load, or asks
  // for in a new window.
  virtual NavigationDecision navigation(std::string_view uri) = 0;
  virtual NavigationDecision newWindow(std::string_view uri) = 0;
  // Hands an address to the user's browser (after the decisions above).
  virtual void openExternal(const std::string& uri) = 0;
  // A message the page posted, as the text it sent.
  virtual void pageMessage(std::string_view text) = 0;
  // The window is gone (closed, or destroyed after the page kept failing).
  virtual void windowGone() = 0;
};

// How the window starts.
struct WindowOptions {
  std::string startUrl;        // the page's first address
  std::string origin;          // the page's origin; messages from elsewhere are dropped
  std::string dataFolder;      // the web view's user data folder (UTF-8)
  std::string_view iconPng;    // the window icon
  bool devtools = false;       // VANTOR_LAUNCHER_DEVTOOLS: inspector and context menu
  std::string starTest;        // VANTOR_STARFIELD_TEST: the starfield's test hook (tests only)
};

// The window and its web view, as the module gives them. UI thread only.
class NativeWindow {
 public:
  virtual ~NativeWindow() = default;
  // Creates and shows the window. False, with `error` filled, when it cannot.
  [[nodiscard]] virtual bool create(std::string& error) = 0;
  // Creates the web view and starts loading the page.
  virtual void loadPage() = 0;
  // Delivers one message (valid UTF-8 JSON text) to the page; dropped when
  // the view does not show the page.
  virtual void deliver(const std::string& json) = 0;
  virtual void minimize() = 0;
  // Destroys the window from the main loop; windowGone() follows.
  virtual void close() = 0;
  virtual void beginDrag() = 0;
  virtual void activate() = 0;
  virtual void restore() = 0;
  // True when the window was closed because the page's web process kept dying.
  [[nodiscard]] virtual bool failed() const = 0;
};

// The module's one export: initialises GTK on the default display and
// returns the window (not yet created), owned by the caller, or null with
// `error` filled when no display can be opened. `host` outlives the window.
inline constexpr const char* windowModuleEntry = "vantor_open_window";
using OpenWindowFunction = NativeWindow* (*)(WindowHost& host, const WindowOptions& options, std::string& error);

}  // namespace launcher
