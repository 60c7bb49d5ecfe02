#include "cli/ctl_session.h"

#include "cli/ctl_options.h"
#include "platform/interrupt.h"
#include "update/folder_sync.h"

#include <chrono>
#include <cstdlib>

namespace launcher {

using json = nlohmann::json;

namespace {

// How often the main thread looks for an interrupt while nothing is posted.
constexpr auto interruptPoll = std::chrono::milliseconds(100);

// Job results that mean "not now" rather than "failed".
bool isBusyResult(const std::string& result) {
  return result == folderBusyText || result == "Close the game first" ||
         result == "Close the game to finish the update";
}

Progress progressOf(const json& task) {
  Progress p;
  p.phase = task.value("phase", "");
  p.file = task.value("file", "");
  p.bytesDone = task.value("bytesDone", uint64_t{0});
  p.bytesTotal = task.value("bytesTotal", uint64_t{0});
  p.filesDone = task.value("filesDone", int32_t{0});
  p.filesTotal = task.value("filesTotal", int32_t{0});
  p.rate = task.value("rate", 0.0);
  return p;
}

}  // namespace

void ConsoleShell::sendToPage(const std::string& text) {
  const json message = json::parse(text, nullptr, false);
  if (!message.is_object()) return;
  const std::string type = message.value("type", "");
  if (type == "state" && onState) onState(message);
  if (type == "toast" && onToast) onToast(message.value("text", ""));
}

CtlSession::CtlSession(std::FILE* out, std::FILE* err, bool terminal)
    : out_(out), err_(err), printer_(out, terminal), ui_([this] { wake(); }) {
  shell_.onState = [this](const json& state) { showState(state); };
  shell_.onToast = [this](const std::string& text) { toasts_.push_back(text); };
}

CtlSession::~CtlSession() {
  printer_.finish();
  if (app_) app_->shutdown();
}

void CtlSession::wake() {
  {
    std::lock_guard lock(wakeMutex_);
    wakePending_ = true;
  }
  woken_.notify_one();
}

void CtlSession::start(const InstallPaths& paths, PlanReview review) {
  app_ = std::make_unique<LauncherApp>(ui_);
  LaunchOptions options;
  app_->load(options, paths);
  app_->attachShell(&shell_);
  app_->setJobObserver([this](uint64_t id, const std::string&, const std::string& result) {
    {
      std::lock_guard lock(endedMutex_);
      endedId_ = id;
      endedResult_ = result;
    }
    wake();
  });
  if (review) app_->setRepairReview(std::move(review));
  app_->startWorker();
}

void CtlSession::showState(const json& state) {
  const json& feed = state["feed"];
  if (feed.is_object() && feed.value("checked", false) && !feed.value("checking", true)) checkDone_ = true;
  const json& task = state["task"];
  // A job that has not said what it does yet has nothing to draw.
  if (task.is_object() && !task.value("phase", "").empty()) printer_.update(progressOf(task));
}

bool CtlSession::pumpUntil(const std::function<bool()>& done, const std::function<bool()>& onInterrupt) {
  for (;;) {
    ui_.runPending();
    if (done()) return true;
    if (interruptCount() > interruptsSeen_) {
      ++interruptsSeen_;
      if (interruptsSeen_ > 1) {
        // A second interrupt: now. Staging areas and kept files survive this.
        printer_.finish();
        std::fputs("Interrupted\n", err_);
        std::fflush(nullptr);
        std::_Exit(ctlExitInterrupted);
      }
      if (onInterrupt()) return false;
    }
    std::unique_lock lock(wakeMutex_);
    woken_.wait_for(lock, interruptPoll, [this] { return wakePending_; });
    wakePending_ = false;
  }
}

bool CtlSession::check() {
  checkDone_ = false;
  app_->checkForUpdates(false);
  // A check has no cancel: an interrupt stops waiting for it, and the
  // process ends without it (it writes nothing).
  return pumpUntil([this] { return checkDone_; }, [] { return true; });
}

JobOutcome CtlSession::runJob(const std::function<void(LauncherApp&)>& request, JobToasts toasts) {
  JobOutcome outcome;
  const size_t toastsBefore = toasts_.size();
  const uint64_t before = app_->newestJobId();
  request(*app_);
  const uint64_t id = app_->newestJobId();
  if (id == before) {
    // Refused at once; the reason is a toast, still on its way.
    ui_.runPending();
    for (size_t i = toastsBefore; i < toasts_.size(); ++i) {
      outcome.result = toasts_[i];
      break;
    }
    if (outcome.result.empty()) outcome.result = "The launcher refused the request";
    return outcome;
  }
  outcome.queued = true;
  auto ended = [&] {
    std::lock_guard lock(endedMutex_);
    return endedId_ == id;
  };
  (void)pumpUntil(ended, [&] {
    outcome.interrupted = true;
    app_->jobs().control(JobAction::Cancel, id);
    return false;  // wait for the job to stop
  });
  {
    std::lock_guard lock(endedMutex_);
    outcome.result = endedResult_;
  }
  // The job's toasts and last state were posted before it ended.
  ui_.runPending();
  printer_.finish();
  for (size_t i = toastsBefore; i < toasts_.size() && toasts == JobToasts::Print; ++i) {
    if (toasts_[i] == outcome.result) continue;  // printed as the failure
    std::fprintf(out_, "%s\n", toasts_[i].c_str());
  }
  std::fflush(out_);
  return outcome;
}

void CtlSession::note(const std::string& line) {
  printer_.finish();
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

int CtlSession::exitStatus(const JobOutcome& outcome) {
  if (outcome.queued && outcome.result.empty()) return ctlExitDone;
  if (outcome.interrupted && outcome.result == "Cancelled") {
    std::fputs("Interrupted: run the same command again to carry on\n", err_);
    return ctlExitInterrupted;
  }
  std::fprintf(err_, "vantorctl: %s\n", outcome.result.c_str());
  return isBusyResult(outcome.result) ? ctlExitBusy : ctlExitFailed;
}

}  // namespace launcher
