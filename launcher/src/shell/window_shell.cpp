#include "shell/window_shell.h"

#include "base/log.h"
#include "data/paths.h"
#include "platform/module.h"
#include "platform/ui_loop.h"
#include "shell/bridge.h"
#include "shell/external_open.h"
#include "shell/page_files.h"
#include "shell/window_module.h"
#include "update/location.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>

namespace launcher {
namespace {

bool envSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

class WindowShell final : public AppShell, private WindowHost {
 public:
  explicit WindowShell(UiLoop& loop) : loop_(loop), source_(pageSourceFromEnvironment()) {}

  bool open(OpenWindowFunction openWindow, std::string& reason) {
    WindowOptions options;
    options.startUrl = std::string(pageStartUrl);
    options.origin = std::string(pageOrigin);
    options.dataFolder = toUtf8(dataFolder() / "launcher" / "webview");
    options.iconPng = embeddedIconPng();
    options.devtools = std::getenv("VANTOR_LAUNCHER_DEVTOOLS") != nullptr;
    if (const char* test = std::getenv("VANTOR_STARFIELD_TEST")) options.starTest = test;
    window_.reset(openWindow(*this, options, reason));
    return window_ != nullptr;
  }

  bool createWindow(std::string& error) override { return window_->create(error); }

  void createWebView(CommandHandler onCommand) override {
    onCommand_ = std::move(onCommand);
    window_->loadPage();
  }

  void sendToPage(const std::string& json) override {
    if (!isValidUtf8(json)) {
      logf("warn", "Dropped a page message that is not valid UTF-8");
      return;
    }
    window_->deliver(json);
  }

  void minimize() override { window_->minimize(); }
  void close() override { window_->close(); }
  void beginDrag() override { window_->beginDrag(); }
  void activate() override { window_->activate(); }
  void restore() override { window_->restore(); }
  bool failed() const override { return window_->failed(); }

 private:
  void log(const char* level, const std::string& message) override { writeLog(level, message); }

  void servePage(std::string_view uri, PageResponse& response) override {
    response = servePagePath(pagePathFromUri(uri, pageOrigin), source_);
  }

  NavigationDecision navigation(std::string_view uri) override { return decideNavigation(uri); }
  NavigationDecision newWindow(std::string_view uri) override { return decideNewWindow(uri); }

  void openExternal(const std::string& uri) override {
    std::string error;
    if (!openInBrowser(uri, error)) logf("warn", "Couldn't open a link: {}", error);
  }

  void pageMessage(std::string_view text) override {
    if (!onCommand_) return;
    std::optional<nlohmann::json> command = parsePageMessage(text);
    if (command) onCommand_(*command);
  }

  void windowGone() override { loop_.quit(); }

  UiLoop& loop_;
  PageSource source_;
  CommandHandler onCommand_;
  // Last, so it goes first: the window calls back into the members above.
  std::unique_ptr<NativeWindow> window_;
};

}  // namespace

bool displayNamed(std::string& reason) {
  if (envSet("DISPLAY") || envSet("WAYLAND_DISPLAY") || envSet("GDK_BACKEND")) return true;
  // Wayland clients find a compositor's default socket without being told.
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::path(runtime) / "wayland-0", ec)) return true;
  }
  reason = "No display to open a window on: neither DISPLAY nor WAYLAND_DISPLAY is set.";
  return false;
}

std::unique_ptr<AppShell> openWindowShell(UiLoop& loop, std::string& reason) {
  // Loaded once and kept: GTK cannot be unloaded.
  static LoadedModule module;
  if (!module.open(windowModuleImage(), "vantor-window", reason)) return nullptr;
  auto openWindow = reinterpret_cast<OpenWindowFunction>(module.symbol(windowModuleEntry));
  if (!openWindow) {
    reason = "The window module has no entry point.";
    return nullptr;
  }
  auto shell = std::make_unique<WindowShell>(loop);
  if (!shell->open(openWindow, reason)) return nullptr;
  return shell;
}

}  // namespace launcher
