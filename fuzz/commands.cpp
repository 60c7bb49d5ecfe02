// handleCommand with command objects from the page: either the input as the
// page's message text, or, built from the input, a known command name with
// arguments of any shape. One application lives for the whole run, headless,
// in a scratch home with no update server and no programs to start; its UI
// queue is pumped after each command.
#include "app/launcher_app.h"
#include "base/ui_queue.h"
#include "data/paths.h"
#include "fuzz_support.h"
#include "shell/bridge.h"

#include <memory>
#include <string>

using namespace launcher;
using nlohmann::json;

namespace {

// A page that drops what it is sent, after checking it serialises.
class QuietShell : public Shell {
 public:
  bool createWindow(std::string&) override { return true; }
  void createWebView(CommandHandler) override {}
  void sendToPage(const std::string& text) override {
    if (parsePageMessage(text) == std::nullopt) fuzz::violated("a message for the page that is not a JSON object");
  }
  void minimize() override {}
  void close() override {}
  void beginDrag() override {}
  void activate() override {}
  void restore() override {}
};

const char* const names[] = {"ready",       "install",      "repair",        "play",        "pause",
                             "resume",      "cancel",       "checkUpdates",  "updateLauncher", "addonInstall",
                             "addonRemove", "addonEnable",  "setSettings",   "resetSettings", "setPrefs",
                             "skipAccount", "createAccount", "signIn",       "signOut",     "backupSaves",
                             "restoreBackup", "openFolder", "clearCache",    "openLink",    "minimize",
                             "drag",        "close",        "uninstall",     ""};

struct App {
  App() : ui([] {}) {
    (void)fuzz::scratch();
    const std::filesystem::path folder = fuzz::scratch() / "launcher";
    std::filesystem::create_directories(folder / "game");
    app = std::make_unique<LauncherApp>(ui);
    LaunchOptions options;
    options.executable = folder / "vantor-launcher";
    app->load(options, probeInstallPaths(folder));
    app->attachShell(&shell);
    app->startWorker();
  }
  UiQueue ui;
  QuietShell shell;
  std::unique_ptr<LauncherApp> app;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static App* app = new App;  // lives to the end: its threads may still run then
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<json> command = parsePageMessage(text);
  if (!command) {
    // A known name, with the rest of the input as its arguments.
    const size_t count = sizeof names / sizeof names[0];
    json built = json::object();
    const json args = json::parse(text.substr(1), nullptr, /*allow_exceptions=*/false);
    if (args.is_object()) built = args;
    built["cmd"] = names[static_cast<uint8_t>(text[0]) % count];
    command = std::move(built);
  }
  app->app->handleCommand(*command);
  app->ui.runPending();
  return 0;
}
