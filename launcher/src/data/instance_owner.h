// Who holds the single-instance lock, so that whoever is refused can say so:
// the holder writes a small record beside the lock in the runtime folder
// right after taking it. The record is only believed while the lock is held.
// Any thread; the files are this user's alone (the runtime folder is 0700).
#pragma once

#include <cstdint>
#include <string>

namespace launcher {

struct InstanceOwner {
  std::string program;  // "vantor-launcher", "vantorctl"
  std::string command;  // what it does: "window", "install", ...
  uint64_t processId = 0;
};

// Writes the record for this process. False when it cannot be written; the
// lock still holds, and others then only learn that it is held.
bool recordInstanceOwner(const std::string& program, const std::string& command);

// The record as written, or false when there is none or it is not one.
[[nodiscard]] bool readInstanceOwner(InstanceOwner& owner);

// The sentence a refused start prints: "vantorctl install (process 1234) is
// using the game folder", or a general one when no record can be read.
[[nodiscard]] std::string instanceBusyText();

}  // namespace launcher
