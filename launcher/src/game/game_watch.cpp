#include "game/game_watch.h"

#include "base/log.h"

namespace launcher {

GameWatcher::~GameWatcher() {
  requestStop();
  join();
}

bool GameWatcher::watch(GameProcess process, GameExitHandler onExit) {
  join();
  if (stop_.signalled() || !process.valid()) return true;
  try {
    thread_ = std::thread([this, process = std::move(process), onExit = std::move(onExit)]() mutable {
      WaitOutcome outcome = waitForExitOrStop(process, stop_);
      if (outcome.end != WaitEnd::Exited) return;
      logf("info", "Game exited with code {}", outcome.exitCode);
      if (onExit) onExit(outcome.exitCode);
    });
  } catch (...) {
    // No thread to be had: the game runs on unwatched, as after a restart.
    writeLog("error", "Couldn't watch the game");
    return false;
  }
  return true;
}

void GameWatcher::requestStop() { stop_.signal(); }

void GameWatcher::join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace launcher
