// What the web view may load: the page's own origin, nothing else. Pure
// functions; any thread.
#pragma once

#include "base/text_checks.h"  // isOpenableHttpsUrl

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

}  // namespace launcher
