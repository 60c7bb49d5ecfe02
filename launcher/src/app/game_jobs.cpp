// The jobs the launcher itself runs: the game's install, update and repair,
// and the launcher's own update with its restart.
#include "app/launcher_app.h"

#include "base/log.h"
#include "data/install_registration.h"
#include "platform/process.h"
#include "tasks/game_update.h"
#include "update/location.h"
#include "update/self_update.h"

namespace launcher {

void LauncherApp::queueGameUpdate(bool repair, bool playAfter) {
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
  job.body = [this, repair] {
    GameUpdateRequest request;
    {
      std::lock_guard lock(mutex_);
      request.channel = prefs_.channel;
    }
    request.launcherFolder = paths_.launcherFolder;
    request.gameFolder = paths_.gameFolder;
    request.repair = repair;
    GameUpdateResult result;
    const std::string error = runGameUpdate(
        request, jobs_.cancelFlag(), [this](const Progress& p) { jobs_.reportProgress(p); }, result);
    if (!error.empty()) return error;
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

void LauncherApp::updateSelf() {
  if (gameRunningNow()) {
    toast("Close the game first");
    return;
  }
  Job job;
  job.kind = "launcher";
  job.label = "Launcher update";
  job.body = [this] {
    std::string channel;
    {
      std::lock_guard lock(mutex_);
      channel = prefs_.channel;
    }
    const Feed feed =
        fetchFeed(latestJsonUrl(paths_.launcherFolder, channel), [this] { return jobs_.cancelRequested(); });
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
