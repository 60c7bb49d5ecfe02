// The single-instance lock and the activation socket, in one process: OFD
// locks of two open descriptions conflict even within a process, so two
// InstanceLock objects behave as two launchers would.
#include "platform/instance.h"

#include "platform/ui_loop.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace launcher {
namespace {

TEST(InstanceLock, OneHolderAtATimeAndAReleaseHandsItOver) {
  testing::ScopedHome home;
  InstanceLock first, second;
  std::string error;
  EXPECT_FALSE(isInstanceLockHeld());
  ASSERT_EQ(first.tryAcquire(error), LockResult::Acquired) << error;
  EXPECT_TRUE(isInstanceLockHeld());
  EXPECT_EQ(second.tryAcquire(error), LockResult::HeldElsewhere);
  EXPECT_EQ(second.acquireWaiting(120, error), LockResult::HeldElsewhere);
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    first.release();
  });
  EXPECT_EQ(second.acquireWaiting(5000, error), LockResult::Acquired);
  releaser.join();
  EXPECT_TRUE(second.held());
  second.release();
  EXPECT_FALSE(isInstanceLockHeld());
}

TEST(ActivationListener, EachActivateLineReachesTheUiThread) {
  testing::ScopedHome home;
  EXPECT_FALSE(requestActivation()) << "nobody listens yet";
  UiLoop loop;
  ActivationListener listener;
  int activations = 0;
  std::string error;
  ASSERT_TRUE(listener.start(
      [&] {
        if (++activations == 2) loop.quit();
      },
      error))
      << error;
  std::thread second([] {
    EXPECT_TRUE(requestActivation());
    EXPECT_TRUE(requestActivation());
  });
  loop.run();
  second.join();
  EXPECT_EQ(activations, 2);
  listener.stop();
  EXPECT_FALSE(requestActivation()) << "the socket is gone with the listener";
}

TEST(ActivationListener, ASocketLeftByAnEndedLauncherIsReplaced) {
  testing::ScopedHome home;
  UiLoop loop;
  ActivationListener stale;
  std::string error;
  ASSERT_TRUE(stale.start([] {}, error)) << error;
  ActivationListener fresh;  // the file exists: a killed launcher left it
  bool activated = false;
  ASSERT_TRUE(fresh.start(
      [&] {
        activated = true;
        loop.quit();
      },
      error))
      << error;
  std::thread second([] { EXPECT_TRUE(requestActivation()); });
  loop.run();
  second.join();
  EXPECT_TRUE(activated);
}

}  // namespace
}  // namespace launcher
