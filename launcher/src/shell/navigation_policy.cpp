#include "shell/navigation_policy.h"

#include "shell/bridge.h"
#include "shell/page_files.h"

namespace launcher {

NavigationDecision decideNavigation(std::string_view uri) {
  if (uri.substr(0, pageOrigin.size()) == pageOrigin) return NavigationDecision::Allow;
  return decideNewWindow(uri);
}

NavigationDecision decideNewWindow(std::string_view uri) {
  return isOpenableHttpsUrl(uri) ? NavigationDecision::OpenInBrowser : NavigationDecision::Drop;
}

}  // namespace launcher
