// Starting the game as a process of its own and waiting for it to end, beside
// a stop event that ends the wait at shutdown. Declarations only; the build
// picks the implementation (platform/linux/game_process_linux.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher {

class GameProcess;
class StopEvent;

enum class WaitEnd { Exited, Stopped };

struct WaitOutcome {
  WaitEnd end = WaitEnd::Stopped;
  // With Exited: the exit status, or 128 + N after a death by signal N.
  uint32_t exitCode = 0;
};

// A started game process. Move-only; one owner. Destroying it closes the
// handle only: the process is neither stopped nor waited for, so the game
// outlives the object (and the launcher).
class GameProcess {
 public:
  GameProcess() = default;
  ~GameProcess();
  GameProcess(GameProcess&& other) noexcept;
  GameProcess& operator=(GameProcess&& other) noexcept;
  GameProcess(const GameProcess&) = delete;
  GameProcess& operator=(const GameProcess&) = delete;

  [[nodiscard]] bool valid() const { return pid_ > 0; }
  [[nodiscard]] int pid() const { return pid_; }

 private:
  friend bool startGameProcess(const std::vector<std::string>&, const std::filesystem::path&, GameProcess&,
                               int&, std::string&);
  friend WaitOutcome waitForExitOrStop(GameProcess&, const StopEvent&);
  void reset();

  int pid_ = -1;
  // A descriptor that becomes readable when the process ends (on Windows the
  // process handle), or -1.
  std::intptr_t handle_ = -1;
};

// Starts argv[0] (a full path; no PATH lookup) with the rest as its arguments,
// in `workingFolder`, with this process's environment. The child gets a
// session of its own, default handlers for every signal and an empty signal
// mask, and no descriptor beyond standard input, output and error. On failure
// returns false with `errorCode` (the system's error number) and `error` (its
// text); nothing was started. A program that cannot be executed (missing,
// not executable, argument list too long) fails here, not in the child. Any
// thread.
[[nodiscard]] bool startGameProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingFolder,
                                    GameProcess& process, int& errorCode, std::string& error);

// A one-way event: once signalled it stays signalled. Ends every present and
// future waitForExitOrStop on it. signal() from any thread.
class StopEvent {
 public:
  StopEvent();
  ~StopEvent();
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;

  void signal();
  [[nodiscard]] bool signalled() const { return signalled_.load(); }

 private:
  friend WaitOutcome waitForExitOrStop(GameProcess&, const StopEvent&);
  // Readable once signalled (on Windows an event's handle); -1 when the
  // system gave none (then polled).
  std::intptr_t fd_ = -1;
  std::atomic<bool> signalled_{false};
};

// Blocks until `process` ends or `stop` is signalled, whichever comes first
// (an exit already done wins over a stop). Exited: the process has been
// reaped and `process` is emptied. Stopped: the process is untouched and keeps
// running. Where the system cannot signal a process's end, the process is
// polled every 200 ms. One thread per process.
[[nodiscard]] WaitOutcome waitForExitOrStop(GameProcess& process, const StopEvent& stop);

}  // namespace launcher
