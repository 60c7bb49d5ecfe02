// What the web view may load: the page's own origin, nothing else. Pure
// functions; any thread.
#pragma once

#include <string_view>

namespace launcher {

enum class NavigationDecision {
  Allow,          // the page's own files
  OpenInBrowser,  // an https address: cancelled here, opened in the user's browser
  Drop,           // anything else: cancelled silently
};

// For a navigation of the view itself (the first load included).
[[nodiscard]] NavigationDecision decideNavigation(std::string_view uri);

// For a request to open a new window: never allowed; an https address opens in
// the user's browser.
[[nodiscard]] NavigationDecision decideNewWindow(std::string_view uri);

// True for an address that may be handed to the user's browser: it begins with
// "https://" (exactly, lower case), is valid UTF-8 and has no space or control
// character (C0, DEL or C1), which a program on the other end could read as a
// second argument, an option or a line break.
[[nodiscard]] bool isOpenableHttpsUrl(std::string_view uri);

}  // namespace launcher
