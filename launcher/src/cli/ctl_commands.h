// vantorctl's subcommands. Each runs on the main thread and returns the
// process's exit status (ctl_options.h lists them).
#pragma once

#include "cli/ctl_options.h"

#include <cstdio>
#include <filesystem>

namespace launcher {

// Where the launcher vantorctl serves keeps its game and update.json: the
// player's own copy when this is a packaged vantorctl that has one,
// otherwise vantorctl's own folder (a build tree or an unpacked copy).
[[nodiscard]] std::filesystem::path ctlLauncherFolder();

// Runs a parsed command line. Progress and results go to `out`, failures to
// `err`; interrupts must already be caught (catchInterrupts).
[[nodiscard]] int runCtlCommand(const CtlOptions& options, std::FILE* out, std::FILE* err);

// The whole program: parses `args` (after the program name) and runs them.
[[nodiscard]] int ctlMain(const std::vector<std::string>& args);

}  // namespace launcher
