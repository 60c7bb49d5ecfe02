// The shell the launcher runs with, and how it is chosen.
#pragma once

#include "base/ui_ports.h"
#include "shell/shell_options.h"

#include <memory>
#include <string>

namespace launcher {

class UiLoop;
class UiQueue;

class AppShell : public Shell {
 public:
  // UI thread, after the UI loop has ended. True when the UI ended because it
  // could not go on (the page's web process kept dying); the launcher then
  // exits with code 1 instead of 0.
  [[nodiscard]] virtual bool failed() const = 0;
};

// UI thread, once, before the UI loop runs. A window (GTK and WebKitGTK) when
// `options` allow it and a display can be opened; browser mode when asked
// for, or with UiMode::Auto when no display can be opened. The shell ends
// `loop` when its UI ends; browser mode hands its server's commands to the UI
// thread through `queue`. Null, with `error` filled and logged at "error",
// when --ui=gtk finds no display.
[[nodiscard]] std::unique_ptr<AppShell> createShell(const ShellOptions& options, UiLoop& loop,
                                                    UiQueue& queue, std::string& error);

}  // namespace launcher
