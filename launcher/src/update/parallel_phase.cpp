#include "update/parallel_phase.h"

#include "base/thread_start.h"

#include <chrono>
#include <condition_variable>
#include <thread>

namespace launcher {

bool runPhase(int threads, const std::function<void(int)>& work, const std::function<void()>& report,
              std::atomic<bool>& stop, std::string& error) {
  std::mutex mutex;
  std::condition_variable ended;
  int running = 0;
  std::vector<std::thread> pool(static_cast<size_t>(threads));
  bool started = true;
  for (int slot = 0; slot < threads && started; ++slot) {
    {
      std::lock_guard lock(mutex);
      ++running;
    }
    started = startThread(pool[static_cast<size_t>(slot)], [&, slot] {
      work(slot);
      std::lock_guard lock(mutex);
      --running;
      ended.notify_all();
    }, error);
    if (!started) {
      std::lock_guard lock(mutex);
      --running;
    }
  }
  if (!started) stop = true;
  for (bool finished = false; !finished;) {
    {
      std::unique_lock lock(mutex);
      finished = ended.wait_for(lock, std::chrono::milliseconds(100), [&] { return running == 0; });
    }
    report();
  }
  for (std::thread& t : pool) {
    if (t.joinable()) t.join();
  }
  return started;
}

void CurrentFiles::set(int slot, const std::string& name) {
  std::lock_guard lock(mutex_);
  names_[static_cast<size_t>(slot)] = name;
}

std::string CurrentFiles::any() const {
  std::lock_guard lock(mutex_);
  for (const std::string& name : names_) {
    if (!name.empty()) return name;
  }
  return {};
}

}  // namespace launcher
