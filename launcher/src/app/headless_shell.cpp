#include "app/headless_shell.h"

#include "platform/platform.h"
#include "platform/ui_loop.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace launcher {

HeadlessShell::HeadlessShell(UiLoop& loop) : loop_(loop) {
  stdio_ = environmentVariable("VANTOR_HEADLESS_PAGE") == "stdio";
}

bool HeadlessShell::createWindow(std::string&) { return true; }

void HeadlessShell::createWebView(CommandHandler onCommand) {
  if (!stdio_) return;
  onCommand_ = std::move(onCommand);
  loop_.watchStandardInput(
      [this](const std::string& line) {
        const nlohmann::json command = nlohmann::json::parse(line, nullptr, false);
        if (command.is_object() && onCommand_) onCommand_(command);
      },
      // The page went away (the test ended, however it ended): so do we.
      [this] { close(); });
}

void HeadlessShell::sendToPage(const std::string& json) {
  if (!stdio_) return;
  std::string line = json;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void HeadlessShell::close() { loop_.quit(); }

void HeadlessShell::activate() {}

}  // namespace launcher
