// The launcher's side of the window: loads the window module (GTK and
// WebKitGTK) the first time a window is wanted, and serves what the module
// asks of the launcher (the page's files, its messages, the log, links).
#pragma once

#include "shell/app_shell.h"

#include <memory>
#include <string>
#include <string_view>

namespace launcher {

class UiLoop;

// Whether a window could possibly open: a display is named (DISPLAY,
// WAYLAND_DISPLAY, or a GDK backend asked for by GDK_BACKEND). False, with
// `reason` filled, when none is, so that browser mode needs no window module.
[[nodiscard]] bool displayNamed(std::string& reason);

// UI thread, once. Loads the window module, opens the display and returns the
// window's shell (the window not yet created); its window's destruction ends
// `loop`. Null, with `reason` filled, when the module cannot be loaded or no
// display can be opened.
[[nodiscard]] std::unique_ptr<AppShell> openWindowShell(UiLoop& loop, std::string& reason);

// The window module's file, carried inside the executable (generated).
[[nodiscard]] std::string_view windowModuleImage();

}  // namespace launcher
