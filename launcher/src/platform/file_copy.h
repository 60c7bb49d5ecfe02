// Copying one regular file's bytes with the system's own error for every
// failure (a full disk reads as such), never writing through a link, and
// returning only once the copy is on disk. Declarations only.
#pragma once

#include <filesystem>
#include <string>

namespace launcher {

// Copies regular file `from` to `to`, creating or truncating `to` with
// `from`'s permission bits. Neither name is followed when it is a symbolic
// link (the call fails instead). The data is flushed to disk before it
// returns true. False with the system's text in `error`; a partial `to` may
// remain. Streams; any thread.
[[nodiscard]] bool copyFileData(const std::filesystem::path& from, const std::filesystem::path& to,
                                std::string& error);

}  // namespace launcher
