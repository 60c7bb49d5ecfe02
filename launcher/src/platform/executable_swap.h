// Putting a new build of the running executable in its place so that the
// executable's path names one whole build at every moment, a power cut
// included: the running build keeps a second name, and the new one arrives
// by a single rename. Declarations only.
#pragma once

#include <filesystem>
#include <string>

namespace launcher {

enum class SwapResult {
  Swapped,     // `executable` is the new build, `old` the previous one
  OldNotKept,  // `old` could not be made; nothing else changed
  NotSwapped,  // the rename failed; `executable` is the previous build still
};

// `fresh` is the new build, complete and flushed to disk, in the folder of
// `executable`. Removes a leftover `old`, gives the running build the second
// name `old` (a hard link; a copy flushed to disk where the file system has no
// hard links or refuses one), renames `fresh` over `executable` in one step
// and flushes the folder. `error` holds the system's text for a failure. When
// only that last flush failed the result is Swapped with `durable` false.
// Any thread; the caller owns the three paths.
[[nodiscard]] SwapResult swapInExecutable(const std::filesystem::path& fresh, const std::filesystem::path& executable,
                                          const std::filesystem::path& old, bool& durable, std::string& error);

}  // namespace launcher
