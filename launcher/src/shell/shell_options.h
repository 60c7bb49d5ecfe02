// How the launcher shows its page: a window, or a loopback server for a
// browser. Parsed from the command line; pure, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace launcher {

enum class UiMode {
  Auto,     // a window when a display can be opened, else browser mode
  Gtk,      // a window; no display is an error
  Browser,  // serve the page on 127.0.0.1 for a browser
};

struct ShellOptions {
  UiMode ui = UiMode::Auto;
  uint16_t port = 0;  // browser mode; 0 picks a free port
};

// Reads "--ui=gtk|browser|auto" (or "--ui VALUE") and "--port N" (or
// "--port=N") from the arguments (argv without the program name); other
// arguments are left to their owners. False, with `error` filled, for an
// unknown mode, a port that is not a number from 0 to 65535, or a flag
// without its value.
[[nodiscard]] bool parseShellOptions(const std::vector<std::string>& args, ShellOptions& options,
                                     std::string& error);

// The flags that give `options` back, for a restart of the launcher.
[[nodiscard]] std::vector<std::string> shellOptionArguments(const ShellOptions& options);

}  // namespace launcher
