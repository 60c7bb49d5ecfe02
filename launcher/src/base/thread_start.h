// Starting a thread without the risk of terminating: std::thread's
// constructor throws when the system refuses a thread (too many threads, no
// memory), and an exception must never cross our interfaces or a C library's
// callback. Any thread may call.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace launcher {

// Starts `body` on a new thread stored in `thread` (which must not hold a
// running thread). False when the system refused it: `error` then says so in
// a sentence a user can read, and `thread` is left empty.
[[nodiscard]] bool startThread(std::thread& thread, std::function<void()> body, std::string& error);

// For tests: after `skip` more calls succeed, the next `count` calls of
// startThread fail as if the system had refused them. Process-wide.
void failThreadStartsForTesting(int skip, int count);

}  // namespace launcher
