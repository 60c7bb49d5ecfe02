// The Windows build's shell while browser mode's server still uses POSIX
// sockets (windows.cmake picks this file then, app_shell_windows.cpp once it
// is portable): the launcher's command-line sync and its headless page run,
// and asking for a window fails saying why.
#include "shell/app_shell.h"

#include "base/log.h"

namespace launcher {

std::unique_ptr<AppShell> createShell(const ShellOptions&, UiLoop&, UiQueue&, std::string& error) {
  error = "This build has no window: browser mode is not yet built for Windows.";
  logf("error", "{}", error);
  return nullptr;
}

}  // namespace launcher
