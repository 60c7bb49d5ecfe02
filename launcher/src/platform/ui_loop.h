// The UI thread's event loop: a GLib main loop on the default main context,
// which GTK shares when a window exists.
#pragma once

#include <functional>

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
  void quit();

  // Any thread. Schedules `task` to run once on the loop's thread. Used as the
  // UiQueue's wake: the task drains the queue.
  void invoke(std::function<void()> task);

  // UI thread, before run(). SIGTERM and SIGINT then call `handler` on the UI
  // thread instead of ending the process, so a logout or a service manager
  // shuts the launcher down the way closing its window does.
  void onTerminateSignal(std::function<void()> handler);

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace launcher
