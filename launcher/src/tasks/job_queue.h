// The queue of long operations: one worker thread runs job bodies one at a
// time, in queue order, with pause, resume and cancel. The queue keeps its
// members under the application's one mutex (so the state document reads
// them in the same consistent snapshot as everything else) and reaches the
// page only through its host.
#pragma once

#include "base/progress.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace launcher {

// One queued operation. Movable; never copied once queued.
struct Job {
  uint64_t id = 0;     // assigned by enqueue, from 1 up, never reused in a run
  std::string kind;    // "game", "repair", "launcher", "addon", "backup", "restore"
  std::string target;  // what it acts on (an add-on id), or empty
  std::string label;   // shown in the queue
  bool held = false;   // paused: the worker skips it
  // The work. Returns "" on success, the user-readable failure otherwise, and
  // exactly "Cancelled" when it stopped because the cancel flag was set.
  std::function<std::string()> body;
  // Runs on the UI thread after a successful body; may be empty.
  std::function<void()> onSuccess;
};

enum class QueuePosition { Front, Back };
enum class JobAction { Pause, Resume, Cancel };

// The text a job shows when its body answered "Cancelled" although nobody
// asked it to stop (a destination that cannot be written, a document over
// its size cap): a failure, never a silent end.
inline constexpr const char* unexpectedStopText = "The operation stopped before it was finished";

// What the queue needs of the application. Every call may come from any thread
// and must not block on the application mutex.
class JobQueueHost {
 public:
  virtual ~JobQueueHost() = default;
  virtual void markStateDirty() = 0;
  // Runs `closure` once on the UI thread, or drops it (shutdown).
  virtual void postToUi(std::function<void()> closure) = 0;
  virtual void toast(const std::string& text) = 0;
};

class JobQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // `appMutex` is the application mutex: it guards every member here.
  JobQueue(std::mutex& appMutex, JobQueueHost& host);
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // Any thread, mutex not held. Drops the job when one of the same kind is
  // queued, held or running and `job.target` is empty or equal to that job's;
  // else gives it the next id, puts it at the front or back, clears
  // "taskError", wakes the worker and requests a state push. True when queued.
  bool enqueue(Job job, QueuePosition where);

  // Mutex held by the caller. The de-duplication test of enqueue.
  [[nodiscard]] bool isQueuedLocked(const std::string& kind, const std::string& target) const;

  // Any thread, mutex not held. "pause", "resume" or "cancel" of the job with
  // this id, or of the running job when `id` is 0; nothing when there is no
  // such job. Always ends with a state push.
  void control(JobAction action, uint64_t id);

  // The progress callback job bodies hand to the sync and the self-update:
  // stores `p`, and requests a push only when more than 66 ms have passed
  // since the last push it requested (the first call sets the reference).
  void reportProgress(const Progress& p);
  void reportProgressAt(const Progress& p, Clock::time_point now);

  // Job bodies and the threads they start poll it without the lock.
  [[nodiscard]] const std::atomic<bool>& cancelFlag() const { return cancelRequested_; }
  // Job bodies: true once the running body has been asked to stop.
  [[nodiscard]] bool cancelRequested() const { return cancelRequested_.load(); }

  // The worker thread's loop; returns once stop() was called and the running
  // body (if any) has returned. Waiting jobs are then discarded unrun.
  void runWorker();
  // Any thread, mutex not held: sets "stopping", asks the running body to
  // stop, and wakes the worker.
  void stop();

  // Mutex held by the caller: what the state document shows.
  [[nodiscard]] const std::deque<Job>& jobsLocked() const { return jobs_; }
  [[nodiscard]] uint64_t currentJobIdLocked() const { return currentJobId_; }
  [[nodiscard]] const Progress& progressLocked() const { return progress_; }
  [[nodiscard]] const std::string& taskErrorLocked() const { return taskError_; }

 private:
  std::deque<Job>::iterator findLocked(uint64_t id);
  void discardLocked(std::unique_lock<std::mutex>& lock);

  std::mutex& mutex_;
  JobQueueHost& host_;
  std::condition_variable jobsChanged_;
  std::deque<Job> jobs_;
  uint64_t nextJobId_ = 1;
  uint64_t currentJobId_ = 0;
  Progress progress_;
  std::atomic<bool> cancelRequested_{false};
  bool pauseRequested_ = false;
  // The running job was paused and then resumed before its body returned:
  // a "Cancelled" from it leaves the job queued and not held.
  bool resumeRequested_ = false;
  bool stopping_ = false;
  std::string taskError_;
  // The time of the last progress-driven push; guarded by the mutex.
  std::optional<Clock::time_point> lastProgressPush_;
};

}  // namespace launcher
