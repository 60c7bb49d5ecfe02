// The loop's answer to POSIX termination signals, which Windows does not send.
#include "platform/ui_loop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

namespace launcher {
namespace {

// Shutdown may wait for work to end (a transfer, a thread); a second signal
// then must end the process, not be noted for a loop that never runs again.
TEST(UiLoopDeathTest, SecondTerminateSignalEndsTheProcess) {
  for (int second : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(second);
    EXPECT_EXIT(
        {
          UiLoop loop;
          loop.onTerminateSignal([&] { loop.quit(); });
          std::raise(SIGTERM);
          loop.run();
          std::raise(second);  // during the shutdown that follows
          std::_Exit(0);
        },
        ::testing::KilledBySignal(second), "");
  }
}

// A shutdown that began some other way (the window closed) is not held up by
// a signal either.
TEST(UiLoopDeathTest, SignalAfterTheLoopEndedEndsTheProcess) {
  EXPECT_EXIT(
      {
        UiLoop loop;
        loop.onTerminateSignal([] {});
        loop.quit();
        loop.run();
        std::raise(SIGTERM);
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
}  // namespace launcher
