// The size of an installed copy, as the system's list of installed programs
// shows it: the uninstall entry's EstimatedSize on Windows. Linux has no such
// registry: there the size is only computed and logged.
#pragma once

#include <cstdint>
#include <filesystem>

namespace launcher {

// Bytes of every regular file under `folder`, recursively, without following
// symbolic links. A file whose size cannot be read counts 0; a folder that
// cannot be listed ends the walk there, keeping what was summed so far.
[[nodiscard]] uint64_t installedSizeBytes(const std::filesystem::path& folder);

// After a successful game install, update or repair in "installed" mode:
// logs "Install size {} KiB" (bytes / 1024, rounded down) for the launcher
// folder and sets the uninstall entry's size to it where the system has one
// (never creating the entry). Job worker thread; never fails the job.
void updateEstimatedSize(const std::filesystem::path& launcherFolder);

}  // namespace launcher
