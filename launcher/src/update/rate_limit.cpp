#include "update/rate_limit.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace launcher {

namespace {

// The longest a waiter sleeps before it asks `stop` and the rate again.
constexpr auto waitSlice = std::chrono::milliseconds(100);

// What may be drawn at once after a quiet spell: a tenth of a second's worth,
// so a window of a few seconds never sees much more than the rate.
double burstOf(uint64_t rate) { return std::max<double>(static_cast<double>(rate) / 10.0, 16.0 * 1024); }

}  // namespace

void RateLimiter::setRate(uint64_t bytesPerSecond) {
  {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    refillLocked(now);
    rate_ = bytesPerSecond == 0 ? 0 : std::max(bytesPerSecond, minimumRateLimit);
    // A debt made under the old rate is paid at the new one; a stock saved
    // up without a limit does not turn into a burst.
    tokens_ = rate_ == 0 ? 0 : std::min(tokens_, burstOf(rate_));
    last_ = now;
    ++generation_;
  }
  changed_.notify_all();
}

uint64_t RateLimiter::rate() const {
  std::lock_guard lock(mutex_);
  return rate_;
}

uint64_t RateLimiter::bytesTaken() const {
  std::lock_guard lock(mutex_);
  return taken_;
}

void RateLimiter::refillLocked(Clock::time_point now) {
  if (rate_ == 0 || last_ == Clock::time_point{}) {
    last_ = now;
    return;
  }
  if (now > last_) {
    const double seconds = std::chrono::duration<double>(now - last_).count();
    tokens_ = std::min(tokens_ + seconds * static_cast<double>(rate_), burstOf(rate_));
    last_ = now;
  }
}

RateLimiter::Clock::duration RateLimiter::waitLocked() const {
  if (rate_ == 0 || tokens_ >= 0) return Clock::duration::zero();
  const double seconds = -tokens_ / static_cast<double>(rate_);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

RateLimiter::Clock::duration RateLimiter::debit(uint64_t bytes, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  refillLocked(now);
  taken_ += bytes;
  if (rate_ != 0) tokens_ -= static_cast<double>(bytes);
  return waitLocked();
}

bool RateLimiter::take(uint64_t bytes, const std::function<bool()>& stop) {
  std::unique_lock lock(mutex_);
  refillLocked(Clock::now());
  taken_ += bytes;
  if (rate_ == 0) return true;
  tokens_ -= static_cast<double>(bytes);
  for (;;) {
    const Clock::duration wait = waitLocked();
    if (wait <= Clock::duration::zero()) return true;
    const uint64_t generation = generation_;
    changed_.wait_for(lock, std::min<Clock::duration>(wait, waitSlice),
                      [&] { return generation_ != generation; });
    if (stop) {
      // Asked without the lock: it may be slow, and setRate must not wait for it.
      lock.unlock();
      const bool stopNow = stop();
      lock.lock();
      if (stopNow) return false;
    }
    refillLocked(Clock::now());
  }
}

RateLimiter& downloadRateLimiter() {
  // Never destroyed: a worker may still draw from it while statics go.
  static RateLimiter* limiter = new RateLimiter;
  return *limiter;
}

bool parseRateText(const std::string& text, uint64_t& bytesPerSecond) {
  if (text.empty() || text.size() > 32) return false;
  size_t digits = 0;
  bool point = false;
  while (digits < text.size() && (std::isdigit(static_cast<unsigned char>(text[digits])) ||
                                  (text[digits] == '.' && !point))) {
    point |= text[digits] == '.';
    ++digits;
  }
  if (digits == 0 || (digits == 1 && point)) return false;
  const std::string number = text.substr(0, digits);
  const std::string suffix = text.substr(digits);
  double scale = 1;
  if (suffix.empty()) {
    scale = 1;
  } else if (suffix.size() == 1) {
    switch (std::tolower(static_cast<unsigned char>(suffix[0]))) {
      case 'k': scale = 1024.0; break;
      case 'm': scale = 1024.0 * 1024; break;
      case 'g': scale = 1024.0 * 1024 * 1024; break;
      default: return false;
    }
  } else {
    return false;
  }
  // Plain bytes are whole numbers; "1.5K" is fine. Parsed by hand: strtod
  // follows the locale's decimal point.
  if (point && suffix.empty()) return false;
  double value = 0;
  double fraction = 0;
  double place = 1;
  bool after = false;
  for (char c : number) {
    if (c == '.') {
      after = true;
    } else if (after) {
      place /= 10;
      fraction += (c - '0') * place;
    } else {
      value = value * 10 + (c - '0');
    }
  }
  value = (value + fraction) * scale;
  if (!std::isfinite(value) || value > 1024.0 * 1024 * 1024 * 1024) return false;
  bytesPerSecond = static_cast<uint64_t>(std::llround(value));
  return true;
}

}  // namespace launcher
