#include "base/ui_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace launcher {
namespace {

TEST(UiQueueTest, RunsClosuresOnceInPostingOrderAcrossThreads) {
  std::atomic<int> wakes{0};
  UiQueue queue([&] { wakes++; });
  std::vector<int> ran;  // touched only by runPending, on this thread
  constexpr int perThread = 500;
  auto poster = [&](int base) {
    for (int i = 0; i < perThread; ++i) ASSERT_TRUE(queue.post([&ran, base, i] { ran.push_back(base + i); }));
  };
  std::thread a(poster, 0), b(poster, 10000);
  a.join();
  b.join();
  queue.runPending();
  ASSERT_EQ(ran.size(), 2u * perThread);
  // Each thread's closures keep their own order; none runs twice.
  int lastA = -1, lastB = 9999;
  for (int v : ran) {
    int& last = v < 10000 ? lastA : lastB;
    EXPECT_EQ(v, last + 1);
    last = v;
  }
  EXPECT_GE(wakes.load(), 1);
  queue.runPending();
  EXPECT_EQ(ran.size(), 2u * perThread);
}

TEST(UiQueueTest, WakesOnlyWhenTheQueueWasEmpty) {
  int wakes = 0;
  UiQueue queue([&] { wakes++; });
  ASSERT_TRUE(queue.post([] {}));
  ASSERT_TRUE(queue.post([] {}));
  EXPECT_EQ(wakes, 1);
  queue.runPending();
  ASSERT_TRUE(queue.post([] {}));
  EXPECT_EQ(wakes, 2);
}

TEST(UiQueueTest, ClosurePostedWhileRunningWaitsForTheNextBatch) {
  int wakes = 0;
  UiQueue queue([&] { wakes++; });
  std::vector<std::string> ran;
  ASSERT_TRUE(queue.post([&] {
    ran.push_back("outer");
    EXPECT_TRUE(queue.post([&] { ran.push_back("inner"); }));
  }));
  ASSERT_TRUE(queue.post([&] { ran.push_back("second"); }));
  queue.runPending();
  EXPECT_EQ(ran, (std::vector<std::string>{"outer", "second"}));
  EXPECT_EQ(wakes, 2);  // the inner post found the queue empty again
  queue.runPending();
  EXPECT_EQ(ran, (std::vector<std::string>{"outer", "second", "inner"}));
}

TEST(UiQueueTest, AfterShutdownNothingRunsAndCapturesAreFreed) {
  UiQueue queue([] {});
  auto token = std::make_shared<int>(7);
  std::weak_ptr<int> watch = token;
  bool ran = false;
  ASSERT_TRUE(queue.post([token, &ran] { ran = true; }));
  token.reset();
  queue.shutdown();
  EXPECT_TRUE(watch.expired());  // the waiting closure was destroyed unrun
  auto late = std::make_shared<int>(8);
  std::weak_ptr<int> lateWatch = late;
  EXPECT_FALSE(queue.post([late, &ran] { ran = true; }));
  late.reset();
  EXPECT_TRUE(lateWatch.expired());
  queue.runPending();
  EXPECT_FALSE(ran);
}

TEST(UiQueueTest, ShutdownInsideABatchStopsTheRestOfIt) {
  UiQueue queue([] {});
  std::vector<int> ran;
  ASSERT_TRUE(queue.post([&] {
    ran.push_back(1);
    queue.shutdown();
  }));
  ASSERT_TRUE(queue.post([&] { ran.push_back(2); }));
  queue.runPending();
  EXPECT_EQ(ran, std::vector<int>{1});
}

}  // namespace
}  // namespace launcher
