// The UI thread's event loop: a GLib main loop on the default main context,
// which GTK shares when a window exists.
#pragma once

#include <functional>
#include <string>

namespace launcher {

class UiLoop {
 public:
  UiLoop();
  ~UiLoop();
  UiLoop(const UiLoop&) = delete;
  UiLoop& operator=(const UiLoop&) = delete;

  // UI thread. Runs until quit(); returns at once if quit() came first.
  void run();
  // Any thread. Makes run() return after the callback now running (if any).
  // One-way: a loop that was told to quit never runs again.
  void quit();

  // Any thread. Schedules `task` to run once on the loop's thread. Used as the
  // UiQueue's wake: the task drains the queue.
  void invoke(std::function<void()> task);

  // UI thread, before run(). SIGTERM and SIGINT then call `handler` on the UI
  // thread instead of ending the process, so a logout or a service manager
  // shuts the launcher down the way closing its window does. A signal that
  // arrives before run() is handled once the loop runs. Only the first signal
  // is handled so: from then on, and once run() has returned, SIGTERM and
  // SIGINT have their default action again, so a second one ends a shutdown
  // that waits for work to end.
  void onTerminateSignal(std::function<void()> handler);

  // UI thread, before run(). Hands each line of standard input (without its
  // line feed) to `onLine` on the UI thread, without ever blocking the loop;
  // at the end of input `onEnd` runs once and the watch ends. Lines longer
  // than 1 MiB are dropped whole.
  void watchStandardInput(std::function<void(const std::string& line)> onLine, std::function<void()> onEnd);

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace launcher
