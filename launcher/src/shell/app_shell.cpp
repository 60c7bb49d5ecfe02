#include "shell/app_shell.h"

#include "base/log.h"
#include "platform/ui_loop.h"
#include "shell/browser_shell.h"
#include "shell/window_shell.h"

namespace launcher {

std::unique_ptr<AppShell> createShell(const ShellOptions& options, UiLoop& loop, UiQueue& queue,
                                      std::string& error) {
  if (options.ui != UiMode::Browser) {
    // No window module (and so no GTK) is loaded unless a display is named.
    std::string reason;
    std::unique_ptr<AppShell> window;
    if (displayNamed(reason)) window = openWindowShell(loop, reason);
    if (window) return window;
    if (options.ui == UiMode::Gtk) {
      error = reason;
      logf("error", "{}", error);
      return nullptr;
    }
    logf("info", "{} Serving the page for a browser instead.", reason);
  }
  return std::make_unique<BrowserShell>(options.port, pageSourceFromEnvironment(), queue, [&loop] { loop.quit(); });
}

}  // namespace launcher
