// The watcher of the running game: one thread per start, waiting for the game
// to end or for the launcher's stop event, whichever comes first. Owns the
// stop event and the thread; the launcher owns one GameWatcher.
#pragma once

#include "platform/game_process.h"

#include <cstdint>
#include <functional>
#include <thread>

namespace launcher {

// Called on the watcher thread once the game has ended, with its exit code
// (128 + N after a death by signal N). Never called after a stop.
using GameExitHandler = std::function<void(uint32_t exitCode)>;

class GameWatcher {
 public:
  GameWatcher() = default;
  // Signals the stop event and joins the thread; the game keeps running.
  ~GameWatcher();
  GameWatcher(const GameWatcher&) = delete;
  GameWatcher& operator=(const GameWatcher&) = delete;

  // Starts the watcher thread, which owns `process` from then on. A thread of
  // an earlier start is joined first (it has ended: the launcher starts a game
  // only while none runs). On the game's end the thread logs "Game exited with
  // code {}" at "info" and then calls `onExit`, which must not touch the
  // window (it clears the running flag under the application mutex and posts
  // the rest to the UI thread). After requestStop() it returns at once without
  // a thread: the process is left running. False only when no thread could be
  // started (logged at "error"): the game then runs unwatched and the caller
  // clears its running flag. UI thread; hold no lock (it may join).
  [[nodiscard]] bool watch(GameProcess process, GameExitHandler onExit);

  // Signals the stop event: a waiting watcher returns without calling its
  // handler, and the game keeps running. Any thread; idempotent.
  void requestStop();

  // Joins the watcher thread if there is one. Call after requestStop() at
  // shutdown (the join would otherwise last as long as the game). UI thread.
  void join();

  // True while a watcher thread exists that has not been joined.
  [[nodiscard]] bool joinable() const { return thread_.joinable(); }

 private:
  StopEvent stop_;
  std::thread thread_;
};

}  // namespace launcher
