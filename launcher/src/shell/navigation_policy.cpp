#include "shell/navigation_policy.h"

#include "shell/page_files.h"

namespace launcher {

bool isOpenableHttpsUrl(std::string_view uri) {
  constexpr std::string_view prefix = "https://";
  if (uri.size() <= prefix.size() || uri.substr(0, prefix.size()) != prefix) return false;
  for (char c : uri) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) return false;
  }
  return true;
}

NavigationDecision decideNavigation(std::string_view uri) {
  if (uri.substr(0, pageOrigin.size()) == pageOrigin) return NavigationDecision::Allow;
  return decideNewWindow(uri);
}

NavigationDecision decideNewWindow(std::string_view uri) {
  return isOpenableHttpsUrl(uri) ? NavigationDecision::OpenInBrowser : NavigationDecision::Drop;
}

}  // namespace launcher
