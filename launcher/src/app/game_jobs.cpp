// The jobs the launcher itself runs: the game's install, update and repair,
// and the launcher's own update with its restart.
#include "app/launcher_app.h"

#include "base/log.h"
#include "data/install_registration.h"
#include "platform/process.h"
#include "tasks/game_update.h"
#include "update/location.h"
#include "update/self_update.h"

#include <chrono>

namespace launcher {

void LauncherApp::queueGameUpdate(bool repair, bool playAfter) {
  // The job installs what the page shows now.
  std::optional<Feed> offered;
  {
    std::lock_guard lock(mutex_);
    if (feed_.ok) offered = feed_;
  }
  queueGameUpdateFrom(repair, playAfter, std::move(offered));
}

void LauncherApp::queueGameUpdateFrom(bool repair, bool playAfter, std::optional<Feed> offered) {
  if (paths_.devBuild) {
    toast("This is a dev build: it updates by rebuilding, not from the launcher");
    return;
  }
  if (gameRunningNow()) {
    toast("Close the game first");
    return;
  }
  Job job;
  job.kind = repair ? "repair" : "game";
  job.label = repair ? "Verifying Astrane: Vantor" : "Astrane: Vantor";
  job.body = [this, repair, offered = std::move(offered)] {
    GameUpdateRequest request;
    {
      std::lock_guard lock(mutex_);
      request.channel = prefs_.channel;
    }
    request.launcherFolder = paths_.launcherFolder;
    request.gameFolder = paths_.gameFolder;
    request.repair = repair;
    request.trust = feedTrust();
    request.offered = offered;
    if (repair) request.review = [this](const SyncPlan& plan) { return reviewRepair(plan); };
    GameUpdateResult result;
    const std::string error = runGameUpdate(
        request, jobs_.cancelFlag(), [this](const Progress& p) { jobs_.reportProgress(p); }, result);
    if (!error.empty()) return error;
    if (result.report.stoppedAtReview) {
      toast("Repair cancelled: nothing was downloaded");
      return std::string();
    }
    GameManifest installed;
    const bool valid = readInstalledManifest(paths_.gameFolder, installed);
    {
      std::lock_guard lock(mutex_);
      feed_ = std::move(result.feed);
      installedManifest_ = std::move(installed);
      installedManifestValid_ = valid;
      downloadSize_ = 0;
    }
    if (paths_.installed) updateEstimatedSize(paths_.launcherFolder);
    toast(repair ? std::string("Game files verified") : "Game updated to " + result.manifest.version);
    return std::string();
  };
  if (playAfter) job.onSuccess = [this] { playGame(); };
  jobs_.enqueue(std::move(job), QueuePosition::Front);
}

PlanDecision LauncherApp::reviewRepair(const SyncPlan& plan) {
  if (repairReview_) return repairReview_(plan);
  if (plan.downloadBytes <= repairAskBytes) return PlanDecision::Proceed;
  RepairQuestion question;
  question.asking = true;
  for (const PlannedFile& f : plan.files) {
    switch (f.change) {
      case PlannedChange::Missing: ++question.missing; break;
      case PlannedChange::Damaged: ++question.damaged; break;
      case PlannedChange::Updated: ++question.updated; break;
    }
  }
  question.bytes = plan.downloadBytes;
  {
    std::lock_guard lock(mutex_);
    repairQuestion_ = question;
  }
  markStateDirty();
  bool proceed = false;
  {
    std::unique_lock lock(mutex_);
    // A cancel, a pause or the shutdown ends the wait as a "no"; the sync
    // then stops as "Cancelled".
    while (!repairQuestion_.answer && !jobs_.cancelRequested()) {
      repairAnswered_.wait_for(lock, std::chrono::milliseconds(100));
    }
    proceed = repairQuestion_.answer.value_or(false) && !jobs_.cancelRequested();
    repairQuestion_ = RepairQuestion{};
  }
  markStateDirty();
  return proceed ? PlanDecision::Proceed : PlanDecision::Stop;
}

void LauncherApp::answerRepair(bool proceed) {
  {
    std::lock_guard lock(mutex_);
    if (!repairQuestion_.asking || repairQuestion_.answer) return;
    repairQuestion_.answer = proceed;
  }
  repairAnswered_.notify_all();
}

void LauncherApp::updateSelf() {
  if (gameRunningNow()) {
    toast("Close the game first");
    return;
  }
  // The build the page offers now is the one installed, or a newer one.
  std::optional<Feed> offered;
  {
    std::lock_guard lock(mutex_);
    if (feed_.ok) offered = feed_;
  }
  Job job;
  job.kind = "launcher";
  job.label = "Launcher update";
  job.body = [this, offered = std::move(offered)] {
    std::string channel;
    {
      std::lock_guard lock(mutex_);
      channel = prefs_.channel;
    }
    const Feed feed = feedForJob(latestJsonUrl(paths_.launcherFolder, channel), offered, feedTrust(),
                                 FeedUse::Launcher, [this] { return jobs_.cancelRequested(); });
    if (!feed.ok) return feed.error;
    std::string error;
    if (!updateLauncher(feed, executable_, jobs_.cancelFlag(), [this](const Progress& p) { jobs_.reportProgress(p); },
                        error)) {
      return error;
    }
    // The new build waits for this one to let go of the instance lock.
    std::vector<std::string> argv{toUtf8(executable_), "--updated"};
    argv.insert(argv.end(), restartArguments_.begin(), restartArguments_.end());
    std::string spawnError;
    if (!spawnDetached(argv, SpawnOptions{}, spawnError)) {
      // Closing now would leave no launcher running: stay, on the old image.
      logf("error", "Couldn't restart the launcher: {}", spawnError);
      toast("The launcher was updated: start it again to finish");
      return std::string();
    }
    closeWindowLater();
    return std::string();
  };
  jobs_.enqueue(std::move(job), QueuePosition::Front);
}

}  // namespace launcher
