// vantorctl's command line: one subcommand, its arguments and the options
// that apply to it. Pure parsing; the commands live in ctl_commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace launcher {

enum class CtlCommand {
  Help,
  Version,
  Status,
  Install,
  Update,
  Verify,
  Repair,
  Sync,
  AddonsList,
  AddonsInstall,
  AddonsRemove,
  Backup,
  Restore,
};

// The exit statuses, as --help and the man page list them.
inline constexpr int ctlExitDone = 0;
inline constexpr int ctlExitFailed = 1;
inline constexpr int ctlExitUsage = 2;
inline constexpr int ctlExitBusy = 3;
inline constexpr int ctlExitInterrupted = 130;

struct CtlOptions {
  CtlCommand command = CtlCommand::Help;
  bool json = false;     // --json: status, verify, addons list
  bool verbose = false;  // --verbose: log lines on standard error
  bool verify = false;   // sync --verify
  std::optional<uint64_t> limitRate;  // --limit-rate, bytes per second (0: none)
  std::string feed;      // --feed LOCATION
  std::string folder;    // --folder DIR: the game folder
  std::string name;      // addons install/remove ID, restore NAME
  std::string source;    // sync SOURCE (a manifest location)
  std::string target;    // sync FOLDER
};

// Parses the arguments after the program name. False with a one-line
// `error` on bad usage: an unknown subcommand or option, an option the
// subcommand does not take, a missing or bad value, too few or too many
// arguments, an add-on id that breaks the id rule. "--help"/"-h" anywhere
// (before a "--") asks for the help text, "--version" for the version.
[[nodiscard]] bool parseCtlArguments(const std::vector<std::string>& args, CtlOptions& out, std::string& error);

// What --help prints.
[[nodiscard]] const char* ctlHelpText();

// The subcommand as written in messages and the instance record ("install").
[[nodiscard]] const char* ctlCommandName(CtlCommand command);

}  // namespace launcher
