#include "update/rate_limit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace launcher {
namespace {

using Clock = RateLimiter::Clock;
using std::chrono::milliseconds;

TEST(RateText, ReadsCurlStyleRatesAndRefusesTheRest) {
  struct Row {
    const char* text;
    bool ok;
    uint64_t bytes;
  };
  const Row rows[] = {
      {"0", true, 0},
      {"1000", true, 1000},
      {"500K", true, 500 * 1024},
      {"500k", true, 500 * 1024},
      {"2M", true, 2 * 1024 * 1024},
      {"1.5m", true, 3 * 512 * 1024},
      {"1G", true, 1024ull * 1024 * 1024},
      {"0.5K", true, 512},
      {"", false, 0},
      {"K", false, 0},
      {".", false, 0},
      {".K", false, 0},
      {"1.5", false, 0},  // a fraction of a byte
      {"-1", false, 0},
      {"1KB", false, 0},
      {"1T", false, 0},
      {"1 M", false, 0},
      {"1.2.3M", false, 0},
      {"2000G", false, 0},  // beyond any link
      {"99999999999999999999999999999999K", false, 0},
  };
  for (const Row& r : rows) {
    uint64_t bytes = 12345;
    EXPECT_EQ(parseRateText(r.text, bytes), r.ok) << '"' << r.text << '"';
    if (r.ok) {
      EXPECT_EQ(bytes, r.bytes) << r.text;
    }
  }
}

// Feeds `total` bytes in `block`s from `workers` interleaved callers on a
// clock that moves only by the waits the limiter asks for; returns the time
// that took.
double secondsToPass(RateLimiter& limiter, uint64_t total, uint64_t block, int workers) {
  Clock::time_point now = Clock::now();
  const Clock::time_point start = now;
  std::vector<Clock::time_point> readyAt(static_cast<size_t>(workers), now);
  uint64_t sent = 0;
  for (size_t turn = 0; sent < total; ++turn) {
    const size_t w = turn % readyAt.size();
    now = std::max(now, readyAt[w]);
    readyAt[w] = now + limiter.debit(block, now);
    sent += block;
  }
  for (const auto& t : readyAt) now = std::max(now, t);
  return std::chrono::duration<double>(now - start).count();
}

TEST(RateLimiter, SharedAcrossWorkersTheBucketHoldsTheRateWithinAFewPercent) {
  struct Row {
    uint64_t rate;
    uint64_t block;
    int workers;
  };
  const Row rows[] = {
      {1024 * 1024, 16 * 1024, 4},
      {256 * 1024, 16 * 1024, 4},
      {10 * 1024 * 1024, 16 * 1024, 4},
      {2 * 1024 * 1024, 1024 * 1024, 4},  // local files come in 1 MiB blocks
      {64 * 1024, 4 * 1024, 1},
  };
  for (const Row& r : rows) {
    RateLimiter limiter;
    limiter.setRate(r.rate);
    const uint64_t total = r.rate * 20;  // twenty seconds' worth
    const double seconds = secondsToPass(limiter, total, r.block, r.workers);
    const double measured = static_cast<double>(total) / seconds;
    EXPECT_GT(measured, 0.97 * static_cast<double>(r.rate)) << r.rate << " with blocks of " << r.block;
    EXPECT_LT(measured, 1.03 * static_cast<double>(r.rate)) << r.rate << " with blocks of " << r.block;
    EXPECT_EQ(limiter.bytesTaken(), total);
  }
}

TEST(RateLimiter, WithoutALimitNobodyWaitsAndBytesAreStillCounted) {
  RateLimiter limiter;
  EXPECT_EQ(limiter.debit(1 << 30, Clock::now()), Clock::duration::zero());
  EXPECT_TRUE(limiter.take(1 << 20));
  EXPECT_EQ(limiter.bytesTaken(), (1u << 30) + (1u << 20));
}

TEST(RateLimiter, RatesBelowTheFloorAreRaisedToIt) {
  RateLimiter limiter;
  limiter.setRate(100);
  EXPECT_EQ(limiter.rate(), minimumRateLimit);
  limiter.setRate(0);
  EXPECT_EQ(limiter.rate(), 0u);
}

TEST(RateLimiter, AQuietSpellSavesUpOnlyATenthOfASecond) {
  RateLimiter limiter;
  limiter.setRate(1024 * 1024);
  const Clock::time_point t0 = Clock::now();
  (void)limiter.debit(1, t0);
  // An hour idle, then two seconds' worth at once: only the burst is free.
  const auto wait = limiter.debit(2 * 1024 * 1024, t0 + std::chrono::hours(1));
  const double seconds = std::chrono::duration<double>(wait).count();
  EXPECT_NEAR(seconds, 1.9, 0.01);
}

// The worker is inside take() once its bytes are accounted.
bool waitUntilAccounted(const RateLimiter& limiter, uint64_t bytes) {
  for (int i = 0; i < 20000; ++i) {
    if (limiter.bytesTaken() == bytes) return true;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return false;
}

TEST(RateLimiter, LiftingTheLimitReleasesAWaitingWorker) {
  RateLimiter limiter;
  limiter.setRate(minimumRateLimit);
  // Sixty-four seconds of debt at this rate.
  auto waiting = std::async(std::launch::async, [&] { return limiter.take(1024 * 1024); });
  ASSERT_TRUE(waitUntilAccounted(limiter, 1024 * 1024));
  ASSERT_EQ(waiting.wait_for(milliseconds(0)), std::future_status::timeout) << "did not wait at all";
  limiter.setRate(0);
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
}

TEST(RateLimiter, RaisingTheRateShortensAWaitInProgress) {
  RateLimiter limiter;
  limiter.setRate(minimumRateLimit);
  auto waiting = std::async(std::launch::async, [&] { return limiter.take(1024 * 1024); });
  ASSERT_TRUE(waitUntilAccounted(limiter, 1024 * 1024));
  ASSERT_EQ(waiting.wait_for(milliseconds(0)), std::future_status::timeout) << "did not wait at all";
  // At 1 GiB/s the debt is gone at once; at the old rate it would take a minute.
  limiter.setRate(1024ull * 1024 * 1024);
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
}

TEST(RateLimiter, AStopEndsTheWaitWithFalse) {
  RateLimiter limiter;
  limiter.setRate(minimumRateLimit);
  std::atomic<bool> stop{false};
  auto waiting = std::async(std::launch::async, [&] { return limiter.take(1024 * 1024, [&] { return stop.load(); }); });
  ASSERT_TRUE(waitUntilAccounted(limiter, 1024 * 1024));
  ASSERT_EQ(waiting.wait_for(milliseconds(0)), std::future_status::timeout) << "did not wait at all";
  stop = true;
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(waiting.get());
}

}  // namespace
}  // namespace launcher
