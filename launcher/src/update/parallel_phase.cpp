#include "update/parallel_phase.h"

#include <chrono>
#include <condition_variable>
#include <thread>

namespace launcher {

void runPhase(int threads, const std::function<void(int)>& work, const std::function<void()>& report) {
  std::mutex mutex;
  std::condition_variable ended;
  int running = threads;
  std::vector<std::thread> pool;
  pool.reserve(static_cast<size_t>(threads));
  for (int slot = 0; slot < threads; ++slot) {
    pool.emplace_back([&, slot] {
      work(slot);
      std::lock_guard lock(mutex);
      --running;
      ended.notify_all();
    });
  }
  for (bool finished = false; !finished;) {
    {
      std::unique_lock lock(mutex);
      finished = ended.wait_for(lock, std::chrono::milliseconds(100), [&] { return running == 0; });
    }
    report();
  }
  for (std::thread& t : pool) t.join();
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
