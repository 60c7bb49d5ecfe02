#include "shell/app_shell.h"

#include "base/log.h"
#include "platform/ui_loop.h"
#include "shell/browser_shell.h"
#include "shell/gtk_shell.h"

namespace launcher {

std::unique_ptr<AppShell> createShell(const ShellOptions& options, UiLoop& loop, UiQueue& queue,
                                      std::string& error) {
  if (options.ui != UiMode::Browser) {
    std::string reason;
    if (openDisplay(reason)) return makeGtkShell(loop);
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
