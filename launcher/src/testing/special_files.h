// Files that are not regular files, for tests of what the launcher refuses
// to read.
#pragma once

#include <filesystem>

namespace launcher::testing {

// Makes a named pipe (mode 0600). False when the system refuses.
[[nodiscard]] bool makeFifo(const std::filesystem::path& path);

}  // namespace launcher::testing
