// Ctrl-C and SIGTERM for a command-line tool: counted instead of ending the
// process, so that the tool can stop its work cleanly (a second one may mean
// "now").
#pragma once

namespace launcher {

// Main thread, once, before other threads start: from now on an interrupt
// (SIGINT, or SIGTERM from a service manager) only counts.
void catchInterrupts();

// How many interrupts arrived since catchInterrupts. Any thread.
[[nodiscard]] int interruptCount();

}  // namespace launcher
