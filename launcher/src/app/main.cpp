// Process entry point.
#include "app/headless_shell.h"
#include "app/launcher_main.h"

#include <memory>

namespace {

// The window and page of this run. Without a desktop shell the launcher runs
// headless.
std::unique_ptr<launcher::Shell> makeShell(const std::vector<std::string>& /*args*/, launcher::UiLoop& loop,
                                           launcher::UiQueue& /*ui*/) {
  return std::make_unique<launcher::HeadlessShell>(loop);
}

}  // namespace

int main(int argc, char** argv) { return launcher::launcherMain(argc, argv, makeShell); }
