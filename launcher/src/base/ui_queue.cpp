#include "base/ui_queue.h"

#include <utility>

namespace launcher {

UiQueue::UiQueue(Wake wake) : wake_(std::move(wake)) {}

bool UiQueue::post(Closure closure) {
  bool wasEmpty;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;  // `closure` dies with this frame, unrun
    wasEmpty = closures_.empty();
    closures_.push_back(std::move(closure));
  }
  if (wasEmpty && wake_) wake_();
  return true;
}

void UiQueue::runPending() {
  std::deque<Closure> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(closures_);
  }
  for (Closure& closure : batch) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;  // the rest of the batch dies with `batch`
    }
    closure();
    closure = nullptr;  // free what it captured before the next one runs
  }
}

void UiQueue::shutdown() {
  std::deque<Closure> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(closures_);
  }
  // `dropped` is destroyed here, outside the lock: a closure's captures may
  // post again, which must fail rather than deadlock.
}

}  // namespace launcher
