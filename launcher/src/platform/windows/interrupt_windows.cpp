// Ctrl-C and Ctrl-Break, counted by a console control
// handler (the system calls it on a thread of its own).
#include "platform/interrupt.h"

#include "platform/windows/win_helpers.h"

#include <atomic>

namespace launcher {

namespace {

std::atomic<int> interrupts{0};

BOOL WINAPI countInterrupt(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      interrupts.fetch_add(1);
      return TRUE;  // handled: the process goes on and stops its work itself
    default:
      return FALSE;
  }
}

}  // namespace

void catchInterrupts() { (void)::SetConsoleCtrlHandler(countInterrupt, TRUE); }

int interruptCount() { return interrupts.load(); }

}  // namespace launcher
