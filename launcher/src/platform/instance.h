// One launcher per user session: the single-instance lock, and the channel on
// which a second start asks the running launcher to come to the front.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace launcher {

enum class LockResult {
  Acquired,      // this process holds the lock now
  HeldElsewhere,  // another process holds it
  Failed,        // the lock file could not be opened or asked; see `error`
};

// The lock a running launcher holds for its whole life ("launcher.lock" in the
// runtime folder). The kernel drops it when the holder ends, however it ends,
// so the lock of a killed launcher counts as released. One thread at a time.
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock without waiting.
  [[nodiscard]] LockResult tryAcquire(std::string& error);
  // Tries every 50 ms for up to `timeoutMs`; HeldElsewhere once that passed.
  [[nodiscard]] LockResult acquireWaiting(int timeoutMs, std::string& error);
  void release();
  [[nodiscard]] bool held() const { return held_; }

 private:
  [[nodiscard]] bool open(std::string& error);
  // A descriptor; on Windows the body's record of the thread that owns the mutex.
  std::intptr_t fd_ = -1;
  bool held_ = false;
};

// The path of the single-instance lock file.
[[nodiscard]] std::filesystem::path instanceLockPath();

// True while some process holds the single-instance lock. Only asks.
[[nodiscard]] bool isInstanceLockHeld();

// Asks the running launcher to present its window ("activate\n" on its
// socket). False when no launcher listens. Never waits for more than a second.
[[nodiscard]] bool requestActivation();

// The running launcher's side of requestActivation: a Unix socket
// ("launcher.sock" in the runtime folder) watched by the UI thread's main
// loop. Each "activate" line calls `onActivate` on the UI thread. UI thread
// only; the loop must be the default GLib main context's (UiLoop).
class ActivationListener {
 public:
  ActivationListener() = default;
  ~ActivationListener();
  ActivationListener(const ActivationListener&) = delete;
  ActivationListener& operator=(const ActivationListener&) = delete;

  // Replaces a socket file left by a launcher that ended (the caller holds the
  // instance lock, so no running launcher owns it) and listens. False with
  // `error` when the socket cannot be made; the launcher then runs without it.
  [[nodiscard]] bool start(std::function<void()> onActivate, std::string& error);
  // Stops listening, closes every connection and removes the socket file.
  void stop();

 private:
  struct Impl;
  Impl* impl_ = nullptr;
};

}  // namespace launcher
