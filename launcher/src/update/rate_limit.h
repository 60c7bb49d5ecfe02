// The download speed limit: one token bucket that every chunk worker draws
// from as bytes arrive, so the limit holds for all of them together. The rate
// can change while downloads run; waiting workers see a new rate within a
// tenth of a second. Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace launcher {

// The slowest limit honoured: below it a worker would wait so long between
// reads that a server could take the connection for dead.
inline constexpr uint64_t minimumRateLimit = 16 * 1024;

class RateLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  RateLimiter() = default;
  RateLimiter(const RateLimiter&) = delete;
  RateLimiter& operator=(const RateLimiter&) = delete;

  // Bytes per second for everyone drawing from this limiter; 0 removes the
  // limit. A rate below minimumRateLimit is raised to it. Wakes the waiting
  // workers, which go on under the new rate.
  void setRate(uint64_t bytesPerSecond);
  [[nodiscard]] uint64_t rate() const;

  // Accounts `bytes` just received and returns once the bucket allows them:
  // at once without a limit or with tokens to spare, otherwise after the
  // time the rate needs to pay them off. `stop` (may be empty) is asked at
  // least every 100 ms while waiting; false when it said stop.
  bool take(uint64_t bytes, const std::function<bool()>& stop = {});

  // The bucket's arithmetic without waiting, for tests on a clock of their
  // own: accounts `bytes` at `now` and returns how long the caller has to
  // wait before going on (zero when it need not).
  [[nodiscard]] Clock::duration debit(uint64_t bytes, Clock::time_point now);

  // Every byte accounted so far (take and debit), with or without a limit.
  [[nodiscard]] uint64_t bytesTaken() const;

 private:
  // Adds the tokens earned since the last refill, up to the burst size.
  void refillLocked(Clock::time_point now);
  [[nodiscard]] Clock::duration waitLocked() const;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t rate_ = 0;
  double tokens_ = 0;  // below zero: a debt the rate pays off
  Clock::time_point last_{};
  uint64_t taken_ = 0;
  uint64_t generation_ = 0;  // bumped by setRate, so a waiter recomputes
};

// The limiter every content download of this process draws from.
[[nodiscard]] RateLimiter& downloadRateLimiter();

// "500K", "2M", "1.5m", "1G" (powers of 1024) or a plain count of bytes per
// second, as curl's --limit-rate takes them; "0" for no limit. False on any
// other text, or a rate above 1 TiB/s.
[[nodiscard]] bool parseRateText(const std::string& text, uint64_t& bytesPerSecond);

}  // namespace launcher
