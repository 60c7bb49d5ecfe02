// The one road from any thread to the UI thread: a FIFO of closures that the
// UI thread runs in posting order.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

namespace launcher {

class UiQueue {
 public:
  using Closure = std::function<void()>;
  // Called, outside the queue's lock, whenever the queue goes from empty to
  // non-empty. It must make the UI thread call runPending() soon; it may be
  // called from any thread.
  using Wake = std::function<void()>;

  explicit UiQueue(Wake wake);
  UiQueue(const UiQueue&) = delete;
  UiQueue& operator=(const UiQueue&) = delete;

  // Any thread. Queues `closure` to run once on the UI thread. After
  // shutdown() it returns false and destroys the closure without running it.
  [[nodiscard]] bool post(Closure closure);

  // UI thread. Runs the closures queued so far, in posting order. The batch is
  // taken out under the lock and run outside it, so a closure may post again
  // (it then runs in the next batch, after a fresh wake).
  void runPending();

  // Any thread. From now on post() fails; closures still waiting are destroyed
  // without running.
  void shutdown();

 private:
  Wake wake_;
  std::mutex mutex_;
  std::deque<Closure> closures_;
  bool closed_ = false;
};

}  // namespace launcher
