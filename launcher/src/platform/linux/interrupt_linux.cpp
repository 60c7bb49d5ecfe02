#include "platform/interrupt.h"

#include <atomic>
#include <csignal>

namespace launcher {

namespace {

// Touched by the handler, so it must be lock-free.
std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);

void onInterrupt(int) { interrupts.fetch_add(1); }

}  // namespace

void catchInterrupts() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  // Reads and writes carry on after the handler instead of failing with EINTR.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

int interruptCount() { return interrupts.load(); }

}  // namespace launcher
