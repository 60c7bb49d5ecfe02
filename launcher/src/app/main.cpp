// Process entry point.
#include "app/headless_shell.h"
#include "app/launcher_main.h"
#include "platform/platform.h"
#include "shell/app_shell.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// The window and page of this run: a window, or browser mode when there is no
// display or it was asked for. Tests that drive the launcher through its
// standard streams (VANTOR_HEADLESS_PAGE) get no window at all.
std::unique_ptr<launcher::Shell> makeShell(const std::vector<std::string>& args, launcher::UiLoop& loop,
                                           launcher::UiQueue& ui) {
  const auto headless = launcher::environmentVariable("VANTOR_HEADLESS_PAGE");
  if (headless && !headless->empty()) return std::make_unique<launcher::HeadlessShell>(loop);
  launcher::ShellOptions options;
  std::string error;
  if (!launcher::parseShellOptions(args, options, error)) {
    std::fprintf(stderr, "vantor-launcher: %s\n", error.c_str());
    return nullptr;
  }
  std::unique_ptr<launcher::AppShell> shell = launcher::createShell(options, loop, ui, error);
  if (!shell) std::fprintf(stderr, "vantor-launcher: %s\n", error.c_str());
  return shell;
}

}  // namespace

int main(int argc, char** argv) { return launcher::launcherMain(argc, argv, makeShell); }
