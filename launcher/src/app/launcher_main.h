// The process entry point's work: the command-line sync, the single-instance
// lock with its wait and the activation of a running launcher, the removal of
// a self-update's leftover, the log, and the application's run.
#pragma once

#include "base/ui_ports.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace launcher {

class UiLoop;
class UiQueue;

// Builds the window and page for this run from the command-line arguments
// (program name excluded). Null when no shell can be made; the launcher then
// exits with code 1.
using ShellFactory =
    std::function<std::unique_ptr<Shell>(const std::vector<std::string>& args, UiLoop& loop, UiQueue& ui)>;

// Returns the process exit code.
[[nodiscard]] int launcherMain(int argc, char** argv, const ShellFactory& makeShell);

// True when `executable` (the running executable's path, read at start-up)
// can anchor the launcher's folders: a full path. False with the reason
// otherwise (empty when the system could not say), and start-up refuses.
[[nodiscard]] bool usableExecutablePath(const std::filesystem::path& executable, std::string& error);

// "--updated" and "--first-run" are found by a substring test over the
// arguments joined with single spaces, so "--updated" inside a longer word
// counts too.
struct StartFlags {
  bool updated = false;
  bool firstRun = false;
};
[[nodiscard]] StartFlags parseStartFlags(const std::vector<std::string>& args);

// The arguments a restart passes on: "--ui" and "--port" in either form
// ("--ui=browser" or "--ui browser").
[[nodiscard]] std::vector<std::string> restartArguments(const std::vector<std::string>& args);

}  // namespace launcher
