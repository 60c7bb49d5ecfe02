// The shell of a launcher without a window or a page: closing it ends the UI
// loop, and page messages go nowhere. For tests, the environment variable
// VANTOR_HEADLESS_PAGE=stdio turns it into a page on the standard streams:
// every message to the page is written to standard output as one line of
// JSON, every line of standard input is a command, and the end of standard
// input closes the launcher as its window's close button would.
#pragma once

#include "base/ui_ports.h"

namespace launcher {

class UiLoop;

class HeadlessShell : public Shell {
 public:
  explicit HeadlessShell(UiLoop& loop);

  [[nodiscard]] bool createWindow(std::string& error) override;
  void createWebView(CommandHandler onCommand) override;
  void sendToPage(const std::string& json) override;
  void minimize() override {}
  void close() override;
  void beginDrag() override {}
  void activate() override;
  void restore() override {}

 private:
  UiLoop& loop_;
  bool stdio_ = false;
  CommandHandler onCommand_;
};

}  // namespace launcher
