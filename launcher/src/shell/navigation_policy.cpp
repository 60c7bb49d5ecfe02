#include "shell/navigation_policy.h"

#include "shell/bridge.h"
#include "shell/page_files.h"

namespace launcher {

bool isOpenableHttpsUrl(std::string_view uri) {
  constexpr std::string_view prefix = "https://";
  if (uri.size() <= prefix.size() || uri.substr(0, prefix.size()) != prefix) return false;
  // Bytes that are not UTF-8 could be read as Latin-1 controls on the other end.
  if (!isValidUtf8(uri)) return false;
  for (std::size_t i = 0; i < uri.size(); ++i) {
    auto byte = static_cast<unsigned char>(uri[i]);
    if (byte <= 0x20 || byte == 0x7f) return false;
    // U+0080..U+009F, the C1 controls (NEL among them, a line break to some).
    if (byte == 0xc2 && i + 1 < uri.size() && static_cast<unsigned char>(uri[i + 1]) <= 0x9f) return false;
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
