// The shell of the Windows launcher. Until it hosts the page in WebView2, its
// window is browser mode: the page served on 127.0.0.1 and opened in an
// application window of Edge, else the default browser. "--ui=browser" only
// serves and prints the address, as on Linux (tests drive it that way).
#include "shell/app_shell.h"

#include "base/log.h"
#include "platform/ui_loop.h"
#include "shell/browser_shell.h"
#include "shell/edge_window.h"

namespace launcher {

namespace {

// Browser mode with a window of its own: the page opens once serving starts,
// and again when a second start asks for the window.
class PageWindowShell final : public AppShell {
 public:
  explicit PageWindowShell(std::unique_ptr<BrowserShell> browser) : browser_(std::move(browser)) {}

  bool createWindow(std::string& error) override {
    if (!browser_->createWindow(error)) return false;
    edge_ = findEdge();
    logf("info", "Opening the page in {}", edge_.empty() ? std::string("the default browser") : "Edge");
    open();
    return true;
  }
  void createWebView(CommandHandler onCommand) override { browser_->createWebView(std::move(onCommand)); }
  void sendToPage(const std::string& json) override { browser_->sendToPage(json); }
  void minimize() override {}
  void beginDrag() override {}
  // The browser's window is not ours to raise: the page is opened again.
  void activate() override { open(); }
  void restore() override {}
  void close() override { browser_->close(); }
  [[nodiscard]] bool failed() const override { return browser_->failed(); }

 private:
  void open() {
    std::string error;
    if (!openPageWindow(edge_, browser_->address(), error)) logf("warn", "Couldn't open the page: {}", error);
  }

  std::unique_ptr<BrowserShell> browser_;
  std::filesystem::path edge_;
};

}  // namespace

std::unique_ptr<AppShell> createShell(const ShellOptions& options, UiLoop& loop, UiQueue& queue,
                                      std::string& error) {
  if (options.ui == UiMode::Gtk) {
    error = "This launcher has no GTK window on Windows; use --ui=browser or --ui=auto.";
    logf("error", "{}", error);
    return nullptr;
  }
  auto browser =
      std::make_unique<BrowserShell>(options.port, pageSourceFromEnvironment(), queue, [&loop] { loop.quit(); });
  if (options.ui == UiMode::Browser) return browser;
  return std::make_unique<PageWindowShell>(std::move(browser));
}

}  // namespace launcher
