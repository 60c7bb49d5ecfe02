#include "platform/ui_loop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace launcher {
namespace {

TEST(UiLoop, QuitBeforeRunIsNotForgotten) {
  UiLoop loop;
  loop.quit();
  loop.run();  // returns at once instead of hanging
  SUCCEED();
}

TEST(UiLoop, QuitFromAnotherThreadWhileStartingEndsTheRun) {
  for (int i = 0; i < 50; ++i) {
    UiLoop loop;
    std::thread other([&] { loop.quit(); });
    loop.run();
    other.join();
  }
  SUCCEED();
}

TEST(UiLoop, InvokedTasksRunOnTheLoopsThread) {
  UiLoop loop;
  const auto self = std::this_thread::get_id();
  std::thread::id ranOn;
  std::thread other([&] {
    loop.invoke([&] {
      ranOn = std::this_thread::get_id();
      loop.quit();
    });
  });
  loop.run();
  other.join();
  EXPECT_EQ(ranOn, self);
}

TEST(UiLoop, TerminateSignalRunsTheHandlerOnTheLoop) {
  UiLoop loop;
  int handled = 0;
  loop.onTerminateSignal([&] {
    ++handled;
    loop.quit();
  });
  std::raise(SIGTERM);  // handled once the loop runs, not by ending the process
  loop.run();
  EXPECT_EQ(handled, 1);
}

}  // namespace
}  // namespace launcher
