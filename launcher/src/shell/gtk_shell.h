// The window: an undecorated GTK window filled by a WebKitGTK web view that
// shows the page from vantor://launcher/.
#pragma once

#include "shell/app_shell.h"

#include <memory>
#include <string>

namespace launcher {

// UI thread. Initialises GTK on the default display. False, with the reason in
// `error`, when no display can be opened.
[[nodiscard]] bool openDisplay(std::string& error);

// UI thread, after openDisplay succeeded. The window's destruction ends `loop`.
[[nodiscard]] std::unique_ptr<AppShell> makeGtkShell(UiLoop& loop);

}  // namespace launcher
