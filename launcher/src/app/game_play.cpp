// PLAY: the checks, the start, what the window does, and the watcher that
// brings the launcher back when the game ends. The rules are game/launch's.
#include "app/launcher_app.h"

#include "game/launch.h"
#include "platform/platform.h"

#include <system_error>

namespace launcher {

namespace fs = std::filesystem;

void LauncherApp::playGame() {
  PlayRequest request;
  request.gameLockHeld = isGameRunning();
  std::error_code ec;
  request.executableExists = fs::exists(paths_.gameExecutable, ec) && !ec;
  request.feedBase = feedBaseUrl(paths_.launcherFolder);
  std::string launchOptions;
  std::string onPlay;
  PlayDecision decision;
  {
    std::lock_guard lock(mutex_);
    request.gameRunningFlag = gameRunning_;
    request.gameJobQueued = jobs_.isQueuedLocked("game", "") || jobs_.isQueuedLocked("repair", "");
    const uint64_t current = jobs_.currentJobIdLocked();
    for (const Job& job : jobs_.jobsLocked()) {
      request.restoreRunning = request.restoreRunning || (job.id == current && job.kind == restoreJobKind);
    }
    request.onlineEnabled = settings_.online.enabled;
    request.onlineServer = settings_.online.server;
    request.serverStatus = serverStatus_;
    launchOptions = prefs_.launchOptions;
    if (prefs_.onPlay >= 0 && static_cast<size_t>(prefs_.onPlay) < onPlayNames.size()) {
      onPlay = onPlayNames[static_cast<size_t>(prefs_.onPlay)];
    }
    decision = decidePlay(request);
    // Taken before the start, in the same locked step as the checks: a
    // restore that begins meanwhile sees the game as running and refuses.
    if (decision.start) gameRunning_ = true;
  }
  if (!decision.start) {
    toast(decision.refusal);
    return;
  }
  GameStart start = startGame(paths_.gameExecutable, paths_.gameFolder, decision.joinAddress, launchOptions);
  if (!start.ok) {
    {
      std::lock_guard lock(mutex_);
      gameRunning_ = false;
    }
    toast(start.toast);
    return;
  }
  size_t jobsInQueue;
  {
    std::lock_guard lock(mutex_);
    jobsInQueue = jobs_.jobsLocked().size();
  }
  markStateDirty();
  switch (afterStartAction(onPlay, jobsInQueue)) {
    case AfterStart::CloseLauncher:
      // Nobody watches this game: the next launcher sees it by its lock.
      closeWindowLater();
      return;
    case AfterStart::Minimize:
      if (shell_) shell_->minimize();
      break;
    case AfterStart::Stay:
      break;
  }
  watchGame(std::move(start.process));
}

void LauncherApp::watchGame(GameProcess process) {
  const bool watching = gameWatcher_.watch(std::move(process), [this](uint32_t exitCode) {
    {
      std::lock_guard lock(mutex_);
      gameRunning_ = false;
    }
    // The game may have written saves; the count walks every backup, which
    // this thread can afford and the UI thread cannot.
    scanSaves();
    // Dropped at shutdown: the window that would come back is gone.
    (void)postToUi([this, exitCode] { onGameExited(exitCode); });
  });
  if (!watching) {
    // The game runs unwatched, as after a restart: its lock shows it.
    {
      std::lock_guard lock(mutex_);
      gameRunning_ = false;
    }
    markStateDirty();
  }
}

void LauncherApp::onGameExited(uint32_t exitCode) {
  // The game may have rewritten its settings while it ran.
  GameSettings settings = loadGameSettings(settingsPath());
  {
    std::lock_guard lock(mutex_);
    settings_ = std::move(settings);
  }
  if (shell_) shell_->restore();
  const std::string text = gameExitToast(exitCode);
  if (!text.empty()) toast(text);
  markStateDirty();
}

void LauncherApp::stopGameWatch() { gameWatcher_.requestStop(); }

}  // namespace launcher
