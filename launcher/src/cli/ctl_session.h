// The launcher's application object run from a terminal: the same LauncherApp,
// job queue and jobs as the window, with the main thread as its UI thread,
// pumped here instead of by a GLib loop, and a console in place of the page.
// Progress is drawn as vantor-launcher --sync draws it; toasts become lines.
// Main thread only.
#pragma once

#include "app/launcher_app.h"
#include "app/sync_progress.h"
#include "base/ui_queue.h"
#include "data/paths.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace launcher {

// The page of a terminal: state documents and toasts go to the session.
class ConsoleShell : public Shell {
 public:
  std::function<void(const nlohmann::json& state)> onState;
  std::function<void(const std::string& text)> onToast;
  std::function<void()> onClose;

  [[nodiscard]] bool createWindow(std::string&) override { return true; }
  void createWebView(CommandHandler) override {}
  void sendToPage(const std::string& json) override;
  void minimize() override {}
  void close() override {
    if (onClose) onClose();
  }
  void beginDrag() override {}
  void activate() override {}
  void restore() override {}
};

// How a job ended, as far as the command line cares.
struct JobOutcome {
  bool queued = false;    // false: the request was refused (see the toasts)
  std::string result;     // the body's result: "" done, "Cancelled", or the failure
  bool interrupted = false;  // the user interrupted it
};

class CtlSession {
 public:
  // `out` takes progress and results; `err` takes failures.
  CtlSession(std::FILE* out, std::FILE* err, bool terminal);
  // Shuts the application down in its usual order.
  ~CtlSession();
  CtlSession(const CtlSession&) = delete;
  CtlSession& operator=(const CtlSession&) = delete;

  // Loads the application for `paths`, as the window's start-up does, and
  // starts its worker. `review` (may be empty) answers a repair's question.
  void start(const InstallPaths& paths, PlanReview review = {});

  // Runs one update check to its end; false when interrupted first.
  [[nodiscard]] bool check();

  // Calls `request` (a LauncherApp request such as queueGameUpdate) and, when
  // it queued a job, waits for that job to end, drawing its progress. The
  // first interrupt cancels the job; a second ends the process at once
  // (everything the jobs write survives being cut off).
  // Print: the job's toasts become lines on `out` (a failure goes to `err`
  // instead, by exitStatus); Keep: the caller says what happened itself.
  enum class JobToasts { Print, Keep };
  [[nodiscard]] JobOutcome runJob(const std::function<void(LauncherApp&)>& request,
                                  JobToasts toasts = JobToasts::Print);

  [[nodiscard]] LauncherApp& app() { return *app_; }
  [[nodiscard]] nlohmann::json state() { return app_->buildState(); }
  // Toasts shown so far, in order.
  [[nodiscard]] const std::vector<std::string>& toasts() const { return toasts_; }

  // Turns a job's outcome into an exit status, printing the failure.
  [[nodiscard]] int exitStatus(const JobOutcome& outcome);

  // Prints a line of its own between progress lines (UI thread).
  void note(const std::string& line);
  // Runs what has been posted to the UI thread so far.
  void runPending() { ui_.runPending(); }

 private:
  // Runs what was posted to the UI thread until `done` holds; false when an
  // interrupt came first and `onInterrupt` said to stop waiting.
  bool pumpUntil(const std::function<bool()>& done, const std::function<bool()>& onInterrupt);
  void wake();
  void showState(const nlohmann::json& state);

  std::FILE* out_;
  std::FILE* err_;
  SyncProgressPrinter printer_;

  std::mutex wakeMutex_;
  std::condition_variable woken_;
  bool wakePending_ = false;

  UiQueue ui_;
  ConsoleShell shell_;
  std::unique_ptr<LauncherApp> app_;
  int interruptsSeen_ = 0;
  bool checkDone_ = false;

  // Written by the worker's job observer, read by the main thread.
  std::mutex endedMutex_;
  uint64_t endedId_ = 0;
  std::string endedResult_;
  std::vector<std::string> toasts_;
};

}  // namespace launcher
