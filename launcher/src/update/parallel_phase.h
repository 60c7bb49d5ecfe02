// Runs one phase of a folder sync on helper threads while the calling thread
// reports progress, so that the progress callback is only ever called on the
// sync thread.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace launcher {

// Two: hashing and copying are CPU-bound, and a typical machine running the
// launcher has at least two cores.
inline constexpr int phaseThreads = 2;

// Starts `threads` threads running work(slot) for slot 0 .. threads - 1, calls
// report() on this thread every 100 ms while they run and once after the last
// has ended, then joins them. When the system refuses a thread, the work of
// the threads that did start is stopped through `stop` (set here, read by
// `work`), they are joined, and the result is false with `error` filled.
[[nodiscard]] bool runPhase(int threads, const std::function<void(int slot)>& work,
                            const std::function<void()>& report, std::atomic<bool>& stop, std::string& error);

// The file each helper thread works on, for the progress record's `file`.
class CurrentFiles {
 public:
  explicit CurrentFiles(int threads) : names_(static_cast<size_t>(threads)) {}
  void set(int slot, const std::string& name);
  // The first slot's file that is set, or "".
  [[nodiscard]] std::string any() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> names_;
};

}  // namespace launcher
