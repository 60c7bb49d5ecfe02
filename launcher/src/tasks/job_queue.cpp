#include "tasks/job_queue.h"

#include "base/log.h"

#include <algorithm>
#include <utility>

namespace launcher {

namespace {

constexpr auto progressPushInterval = std::chrono::milliseconds(66);
constexpr const char* cancelledText = "Cancelled";

}  // namespace

JobQueue::JobQueue(std::mutex& appMutex, JobQueueHost& host) : mutex_(appMutex), host_(host) {}

bool JobQueue::isQueuedLocked(const std::string& kind, const std::string& target) const {
  return std::any_of(jobs_.begin(), jobs_.end(), [&](const Job& job) {
    return job.kind == kind && (target.empty() || job.target == target);
  });
}

bool JobQueue::enqueue(Job job, QueuePosition where) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || isQueuedLocked(job.kind, job.target)) return false;
    job.id = nextJobId_++;
    job.held = false;
    if (where == QueuePosition::Front) {
      jobs_.push_front(std::move(job));
    } else {
      jobs_.push_back(std::move(job));
    }
    taskError_.clear();
  }
  jobsChanged_.notify_all();
  host_.markStateDirty();
  return true;
}

std::deque<Job>::iterator JobQueue::findLocked(uint64_t id) {
  return std::find_if(jobs_.begin(), jobs_.end(), [id](const Job& job) { return job.id == id; });
}

void JobQueue::control(JobAction action, uint64_t id) {
  {
    std::lock_guard lock(mutex_);
    if (id == 0) id = currentJobId_;
    auto job = id == 0 ? jobs_.end() : findLocked(id);
    if (job != jobs_.end()) {
      const bool running = id == currentJobId_;
      switch (action) {
        case JobAction::Resume:
          job->held = false;
          // A pause of the running job may be landing: its body has been
          // asked to stop and may already have. The job then stays queued,
          // not held, and runs on from where it stopped.
          if (running && pauseRequested_) {
            pauseRequested_ = false;
            resumeRequested_ = true;
          }
          jobsChanged_.notify_all();
          break;
        case JobAction::Pause:
          if (running) {
            pauseRequested_ = true;
            resumeRequested_ = false;
            cancelRequested_.exchange(true);
          } else {
            job->held = true;
          }
          break;
        case JobAction::Cancel:
          if (running) {
            pauseRequested_ = false;
            resumeRequested_ = false;
            cancelRequested_.exchange(true);
          } else {
            jobs_.erase(job);
          }
          break;
      }
    }
  }
  host_.markStateDirty();
}

void JobQueue::reportProgress(const Progress& p) { reportProgressAt(p, Clock::now()); }

void JobQueue::reportProgressAt(const Progress& p, Clock::time_point now) {
  bool push = false;
  {
    std::lock_guard lock(mutex_);
    progress_ = p;
    if (!lastProgressPush_) {
      lastProgressPush_ = now;
    } else if (now - *lastProgressPush_ > progressPushInterval) {
      lastProgressPush_ = now;
      push = true;
    }
  }
  if (push) host_.markStateDirty();
}

void JobQueue::discardLocked(std::unique_lock<std::mutex>& lock) {
  // Waiting jobs are kept nowhere. Their closures die after the lock is
  // released, in case what they hold takes it on the way out.
  std::deque<Job> discarded;
  discarded.swap(jobs_);
  lock.unlock();
}

void JobQueue::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cancelRequested_.exchange(true);
  jobsChanged_.notify_all();
}

void JobQueue::runWorker() {
  for (;;) {
    std::unique_lock lock(mutex_);
    auto eligible = [&] {
      return std::find_if(jobs_.begin(), jobs_.end(), [](const Job& job) { return !job.held; });
    };
    jobsChanged_.wait(lock, [&] { return stopping_ || eligible() != jobs_.end(); });
    if (stopping_) {
      discardLocked(lock);
      return;
    }
    Job& picked = *eligible();
    const uint64_t id = picked.id;
    const std::string kind = picked.kind;
    std::function<std::string()> body = picked.body;
    currentJobId_ = id;
    progress_ = Progress{};
    cancelRequested_.store(false);
    pauseRequested_ = false;
    resumeRequested_ = false;
    lock.unlock();
    host_.markStateDirty();

    std::string result = body ? body() : std::string();
    // A body that stopped without being asked to has failed.
    if (result == cancelledText && !cancelRequested_.load()) result = unexpectedStopText;

    lock.lock();
    currentJobId_ = 0;
    std::function<void()> onSuccess;
    if (auto job = findLocked(id); job != jobs_.end()) {
      if (pauseRequested_ && result == cancelledText) {
        job->held = true;
      } else if (resumeRequested_ && result == cancelledText) {
        // Paused and resumed before the body returned: it runs again.
      } else {
        if (result.empty()) onSuccess = std::move(job->onSuccess);
        jobs_.erase(job);
      }
    }
    taskError_ = result == cancelledText ? std::string() : result;
    if (stopping_) {
      discardLocked(lock);
      return;  // no log, no toast; onSuccess dropped
    }
    lock.unlock();
    if (!result.empty() && result != cancelledText) {
      logf("warn", "{}: {}", kind, result);
      host_.toast(result);
    }
    if (onSuccess) host_.postToUi(std::move(onSuccess));
    host_.markStateDirty();
  }
}

}  // namespace launcher
