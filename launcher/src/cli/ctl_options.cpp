#include "cli/ctl_options.h"

#include "update/feed.h"
#include "update/rate_limit.h"

#include <array>

namespace launcher {

namespace {

// Which options a subcommand takes.
enum Takes : unsigned {
  takesJson = 1u << 0,
  takesLimit = 1u << 1,
  takesFeed = 1u << 2,
  takesFolder = 1u << 3,
  takesVerify = 1u << 4,
};

struct CommandRule {
  CtlCommand command;
  const char* name;     // as written on the command line
  int arguments;        // positional arguments after the name
  unsigned takes;
};

constexpr std::array<CommandRule, 11> rules{{
    {CtlCommand::Status, "status", 0, takesJson | takesFeed | takesFolder},
    {CtlCommand::Install, "install", 0, takesLimit | takesFeed | takesFolder},
    {CtlCommand::Update, "update", 0, takesLimit | takesFeed | takesFolder},
    {CtlCommand::Verify, "verify", 0, takesJson | takesFeed | takesFolder},
    {CtlCommand::Repair, "repair", 0, takesLimit | takesFeed | takesFolder},
    {CtlCommand::Sync, "sync", 2, takesLimit | takesVerify},
    {CtlCommand::AddonsList, "addons list", 0, takesJson | takesFeed},
    {CtlCommand::AddonsInstall, "addons install", 1, takesLimit | takesFeed},
    {CtlCommand::AddonsRemove, "addons remove", 1, 0},
    {CtlCommand::Backup, "backup", 0, 0},
    {CtlCommand::Restore, "restore", 1, 0},
}};

const CommandRule* ruleFor(CtlCommand command) {
  for (const CommandRule& r : rules)
    if (r.command == command) return &r;
  return nullptr;
}

// "--name=value" or "--name value"; true when `arg` is this option.
bool takeValue(const std::string& option, const std::vector<std::string>& args, size_t& i, std::string& value,
               bool& matched, std::string& error) {
  const std::string& arg = args[i];
  if (arg == option) {
    matched = true;
    if (i + 1 >= args.size()) {
      error = option + " needs a value";
      return false;
    }
    value = args[++i];
    return true;
  }
  if (arg.rfind(option + "=", 0) == 0) {
    matched = true;
    value = arg.substr(option.size() + 1);
    return true;
  }
  return true;
}

}  // namespace

const char* ctlCommandName(CtlCommand command) {
  if (command == CtlCommand::Help) return "help";
  if (command == CtlCommand::Version) return "version";
  const CommandRule* rule = ruleFor(command);
  return rule ? rule->name : "";
}

bool parseCtlArguments(const std::vector<std::string>& args, CtlOptions& out, std::string& error) {
  out = CtlOptions{};
  error.clear();
  // Help and version answer whatever else is wrong with the line.
  bool version = false;
  for (const std::string& a : args) {
    if (a == "--") break;
    if (a == "--help" || a == "-h") {
      out.command = CtlCommand::Help;
      return true;
    }
    version |= a == "--version";
  }
  if (version) {
    out.command = CtlCommand::Version;
    return true;
  }

  std::vector<std::string> words;
  unsigned given = 0;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
      words.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    if (a == "--json") {
      given |= takesJson;
      out.json = true;
      continue;
    }
    if (a == "--verbose" || a == "-v") {
      out.verbose = true;
      continue;
    }
    if (a == "--verify") {
      given |= takesVerify;
      out.verify = true;
      continue;
    }
    std::string value;
    bool matched = false;
    if (!takeValue("--limit-rate", args, i, value, matched, error)) return false;
    if (matched) {
      uint64_t rate = 0;
      if (!parseRateText(value, rate)) {
        error = "--limit-rate takes a rate such as 500K, 2M or 0 (no limit), not \"" + value + "\"";
        return false;
      }
      given |= takesLimit;
      out.limitRate = rate;
      continue;
    }
    if (!takeValue("--feed", args, i, value, matched, error)) return false;
    if (matched) {
      if (value.empty()) {
        error = "--feed needs a location";
        return false;
      }
      given |= takesFeed;
      out.feed = value;
      continue;
    }
    if (!takeValue("--folder", args, i, value, matched, error)) return false;
    if (matched) {
      if (value.empty()) {
        error = "--folder needs a folder";
        return false;
      }
      given |= takesFolder;
      out.folder = value;
      continue;
    }
    error = "unknown option " + a;
    return false;
  }

  if (words.empty()) {
    error = "no command given";
    return false;
  }
  std::string name = words[0];
  size_t firstArgument = 1;
  if (name == "addons") {
    if (words.size() < 2) {
      error = "addons needs list, install ID or remove ID";
      return false;
    }
    name += " " + words[1];
    firstArgument = 2;
  }
  const CommandRule* rule = nullptr;
  for (const CommandRule& r : rules)
    if (name == r.name) rule = &r;
  if (rule == nullptr) {
    error = "unknown command \"" + name + "\"";
    return false;
  }
  out.command = rule->command;
  const size_t arguments = words.size() - firstArgument;
  if (arguments != static_cast<size_t>(rule->arguments)) {
    error = std::string(rule->name) + (rule->arguments == 0   ? " takes no arguments"
                                       : rule->arguments == 1 ? " takes one argument"
                                                              : " takes two arguments");
    return false;
  }
  static const std::array<std::pair<Takes, const char*>, 5> optionNames{{{takesJson, "--json"},
                                                                         {takesLimit, "--limit-rate"},
                                                                         {takesFeed, "--feed"},
                                                                         {takesFolder, "--folder"},
                                                                         {takesVerify, "--verify"}}};
  for (const auto& [bit, option] : optionNames) {
    if ((given & bit) && !(rule->takes & bit)) {
      error = std::string(rule->name) + " does not take " + option;
      return false;
    }
  }
  if (rule->command == CtlCommand::Sync) {
    out.source = words[firstArgument];
    out.target = words[firstArgument + 1];
    if (out.source.empty() || out.target.empty()) {
      error = "sync needs a manifest location and a folder";
      return false;
    }
  } else if (rule->arguments == 1) {
    out.name = words[firstArgument];
    const bool addon = rule->command == CtlCommand::AddonsInstall || rule->command == CtlCommand::AddonsRemove;
    if (addon && !isValidAddonId(out.name)) {
      error = "\"" + out.name + "\" is not an add-on id (1 to 64 of a-z, 0-9, - and _)";
      return false;
    }
    if (!addon && out.name.empty()) {
      error = "restore needs a backup's name";
      return false;
    }
  }
  return true;
}

const char* ctlHelpText() {
  return "Usage: vantorctl COMMAND [OPTIONS]\n"
         "\n"
         "Installs, updates, checks and repairs Astrane: Vantor from the command line,\n"
         "with the same code, data folder and update feed as the launcher's window.\n"
         "\n"
         "Commands:\n"
         "  status [--json]          the game, the launcher, the feed and the queue\n"
         "  install                  installs the game, or brings it up to date\n"
         "  update                   updates an installed game to the latest release\n"
         "  verify [--json]          checks every game file and says what a repair\n"
         "                           would download; downloads nothing\n"
         "  repair                   checks every game file and replaces damaged ones\n"
         "  sync SOURCE FOLDER       brings FOLDER to the content of the manifest at\n"
         "                           SOURCE (a URL or a path), like vantor-launcher\n"
         "                           --sync; --verify hashes every file\n"
         "  addons list [--json]     installed add-ons and the server's catalogue\n"
         "  addons install ID        installs or updates an add-on from the catalogue\n"
         "  addons remove ID         removes an installed add-on\n"
         "  backup                   backs up the saves\n"
         "  restore NAME             puts a backup back (the saves are backed up first)\n"
         "\n"
         "Options, where they apply:\n"
         "  --limit-rate RATE   download at most RATE bytes a second: 500K, 2M, 1G\n"
         "                      (powers of 1024) or a plain number; 0 for no limit.\n"
         "                      Without it the launcher's own setting holds\n"
         "  --feed LOCATION     the update feed (a URL or a folder) instead of the\n"
         "                      configured one\n"
         "  --folder DIR        the game folder instead of the launcher's own\n"
         "  --json              machine-readable output on standard output\n"
         "  -v, --verbose       the launcher's log lines on standard error\n"
         "  -h, --help          this text;  --version  the version\n"
         "\n"
         "Progress is redrawn in place on a terminal, and written as one plain line a\n"
         "second otherwise. Ctrl-C (SIGINT) or SIGTERM stops cleanly; running the same\n"
         "command again carries on where it stopped, fetching nothing again that was\n"
         "already verified. Commands that write wait for nobody: while the launcher's\n"
         "window (or another vantorctl) runs, they say who holds it and exit with 3.\n"
         "\n"
         "Exit status:\n"
         "  0    done\n"
         "  1    failed (the reason is on standard error)\n"
         "  2    bad usage\n"
         "  3    refused because busy: the launcher or another vantorctl is running,\n"
         "       another update of the folder runs, or the game is running\n"
         "  130  interrupted (SIGINT or SIGTERM); run the command again to resume\n"
         "\n"
         "Environment: VANTOR_UPDATE_FEED (the feed, unless --feed), XDG_DATA_HOME\n"
         "(the data folder: $XDG_DATA_HOME/Vantor, else ~/.local/share/Vantor).\n";
}

}  // namespace launcher
