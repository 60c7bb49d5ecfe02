// A stand-in application for the shell's own tests and benchmark: it runs the
// real window or browser mode with the real UI loop and queue, answers "ready"
// with a state document, echoes every other command back to the page, and
// prints each command it receives as one line on standard output.
//
//   shell_echo_harness [--ui=gtk|browser|auto] [--port N]
//
// Page commands it acts on, as the launcher does: "minimize", "drag", "close".
// "pushState" with "value" sends a new state document holding that value.
// A line "activate" on standard input brings the window to the front, as a
// second start of the launcher does; "close" closes it.
#include "base/log.h"
#include "base/ui_queue.h"
#include "data/paths.h"
#include "platform/ui_loop.h"
#include "shell/app_shell.h"
#include "shell/bridge.h"

#include <glib-unix.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

using namespace launcher;

int main(int argc, char** argv) {
  ShellOptions options;
  std::string error;
  if (!parseShellOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  startLog(logsFolder());
  UiLoop loop;
  UiQueue* queuePtr = nullptr;
  UiQueue queue([&] { loop.invoke([&] { queuePtr->runPending(); }); });
  queuePtr = &queue;

  std::unique_ptr<AppShell> shell = createShell(options, loop, queue, error);
  if (!shell) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  if (!shell->createWindow(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  loop.onTerminateSignal([&] { shell->close(); });
  g_unix_fd_add(
      0, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP),
      [](gint fd, GIOCondition, gpointer data) -> gboolean {
        auto* app = static_cast<AppShell*>(data);
        char buffer[256];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return G_SOURCE_REMOVE;
        std::string lines(buffer, static_cast<std::size_t>(n));
        if (lines.find("activate") != std::string::npos) app->activate();
        if (lines.find("close") != std::string::npos) app->close();
        return G_SOURCE_CONTINUE;
      },
      shell.get());

  int readyCount = 0;
  int pushes = 0;
  shell->createWebView([&](const nlohmann::json& command) {
    std::printf("command %s\n", dumpForPage(command).c_str());
    std::fflush(stdout);
    std::string cmd = command.value("cmd", "");
    if (cmd == "ready") {
      ++readyCount;
      nlohmann::json state = {{"type", "state"},  {"ready", readyCount},    {"push", ++pushes},
                              {"text", "Grüße \u2028 \"quoted\" </script>"}, {"value", "first"}};
      shell->sendToPage(dumpForPage(state));
    } else if (cmd == "pushState") {
      nlohmann::json state = {{"type", "state"}, {"ready", readyCount}, {"push", ++pushes},
                              {"value", command.value("value", nlohmann::json())}};
      shell->sendToPage(dumpForPage(state));
    } else if (cmd == "minimize") {
      shell->minimize();
    } else if (cmd == "drag") {
      shell->beginDrag();
    } else if (cmd == "close") {
      shell->close();
    } else {
      shell->sendToPage(dumpForPage({{"type", "echo"}, {"command", command}}));
    }
  });
  loop.run();
  queue.shutdown();
  bool failed = shell->failed();
  shell.reset();
  return failed ? 1 : 0;
}
