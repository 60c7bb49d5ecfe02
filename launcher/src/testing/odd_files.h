// Files that are not regular files, for tests of what the launcher refuses
// to read.
#pragma once

#include <filesystem>

namespace launcher::testing {

// Makes a named pipe (mode 0600). False when the system refuses.
[[nodiscard]] bool makeFifo(const std::filesystem::path& path);

// Opens `path` for reading WITHOUT close-on-exec, the way a careless library
// might: a child that inherits it would see the descriptor. -1 on failure.
[[nodiscard]] int openInheritable(const std::filesystem::path& path);
void closeDescriptor(int fd);

// Gives `path` to the user "nobody" (needs root). False when the system refuses.
[[nodiscard]] bool giveToNobody(const std::filesystem::path& path);
// True when the test runs as root, who may give files away.
[[nodiscard]] bool runningAsRoot();

}  // namespace launcher::testing
