#include "shell/shell_options.h"

#include <charconv>

namespace launcher {
namespace {

bool parseMode(const std::string& text, UiMode& mode, std::string& error) {
  if (text == "auto") mode = UiMode::Auto;
  else if (text == "gtk") mode = UiMode::Gtk;
  else if (text == "browser") mode = UiMode::Browser;
  else {
    error = "Unknown --ui mode \"" + text + "\"; use gtk, browser or auto.";
    return false;
  }
  return true;
}

bool parsePort(const std::string& text, uint16_t& port, std::string& error) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > 65535) {
    error = "The --port value \"" + text + "\" is not a port number from 0 to 65535.";
    return false;
  }
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool parseShellOptions(const std::vector<std::string>& args, ShellOptions& options, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    for (const char* flag : {"--ui", "--port"}) {
      std::string name = flag;
      std::string value;
      if (arg == name) {
        if (i + 1 >= args.size()) {
          error = "The " + name + " option needs a value.";
          return false;
        }
        value = args[++i];
      } else if (arg.rfind(name + "=", 0) == 0) {
        value = arg.substr(name.size() + 1);
      } else {
        continue;
      }
      bool ok = name == "--ui" ? parseMode(value, options.ui, error) : parsePort(value, options.port, error);
      if (!ok) return false;
      break;
    }
  }
  return true;
}

std::vector<std::string> shellOptionArguments(const ShellOptions& options) {
  std::vector<std::string> args;
  switch (options.ui) {
    case UiMode::Auto: break;
    case UiMode::Gtk: args.push_back("--ui=gtk"); break;
    case UiMode::Browser: args.push_back("--ui=browser"); break;
  }
  if (options.port != 0) args.push_back("--port=" + std::to_string(options.port));
  return args;
}

}  // namespace launcher
