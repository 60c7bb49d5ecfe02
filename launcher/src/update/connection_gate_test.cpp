#include "update/connection_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace launcher {
namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point never = Clock::time_point::max();

TEST(ConnectionGateTest, PlacesAreCountedPerServer) {
  ConnectionGate gate(2);
  EXPECT_EQ(gate.acquire("http://a:80", {}, never), ConnectionGate::Wait::Taken);
  EXPECT_EQ(gate.acquire("http://a:80", {}, never), ConnectionGate::Wait::Taken);
  EXPECT_EQ(gate.acquire("http://b:80", {}, never), ConnectionGate::Wait::Taken) << "another server has its own";
  EXPECT_EQ(gate.held("http://a:80"), 2);
  // Full: a deadline already passed and a stop each end the wait.
  EXPECT_EQ(gate.acquire("http://a:80", {}, Clock::now()), ConnectionGate::Wait::TimedOut);
  EXPECT_EQ(gate.acquire("http://a:80", [] { return true; }, never), ConnectionGate::Wait::Stopped);
  EXPECT_EQ(gate.held("http://a:80"), 2);
  EXPECT_EQ(gate.waiting("http://a:80"), 0);
  gate.release("http://a:80");
  EXPECT_EQ(gate.acquire("http://a:80", {}, Clock::now()), ConnectionGate::Wait::Taken);
  // A release that was never taken changes nothing.
  gate.release("http://c:80");
  EXPECT_EQ(gate.held("http://c:80"), 0);
}

TEST(ConnectionGateTest, AReleaseLetsAWaiterIn) {
  ConnectionGate gate(1);
  ASSERT_EQ(gate.acquire("s", {}, never), ConnectionGate::Wait::Taken);
  std::atomic<bool> taken{false};
  std::thread waiter([&] {
    EXPECT_EQ(gate.acquire("s", {}, never), ConnectionGate::Wait::Taken);
    taken = true;
  });
  while (gate.waiting("s") == 0) std::this_thread::yield();
  EXPECT_FALSE(taken.load());
  gate.release("s");
  waiter.join();
  EXPECT_TRUE(taken.load());
  EXPECT_EQ(gate.held("s"), 1);
}

}  // namespace
}  // namespace launcher
