#include "shell/external_open.h"

#include "base/log.h"
#include "platform/process.h"
#include "shell/navigation_policy.h"

namespace launcher {

// The platform's one opener (xdg-open on Linux, the shell on Windows), after
// the shell's rule for addresses that may leave the launcher.
bool openInBrowser(const std::string& url, std::string& error) {
  if (!isOpenableHttpsUrl(url)) {
    error = "Only https addresses without spaces or control characters open in the browser.";
    return false;
  }
  if (!openWithSystem(url, error)) {
    logf("warn", "{}", error);
    return false;
  }
  return true;
}

}  // namespace launcher
