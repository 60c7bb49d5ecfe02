// Moving a sync's staged files into place and deleting the files a release
// drops. Paths are manifest paths (already checked to stay inside the root).
// Sync thread only.
#pragma once

#include <filesystem>
#include <string>
#include <unordered_set>

namespace launcher {

// A manifest path as the file it names: "." and ".." collapsed, doubled
// separators merged, so that "a//b" and "a/b" compare equal.
[[nodiscard]] std::string manifestPathKey(const std::string& path);

// Moves `staged` to root/path with write-through, replacing what is there.
// When that fails because files in `removable` (keys of files the release
// drops) stand in the way, as a file where a folder must go or in a folder
// where the file must go, those are deleted and the move is tried once more.
[[nodiscard]] bool installStagedFile(const std::filesystem::path& root, const std::string& path,
                                     const std::filesystem::path& staged,
                                     const std::unordered_set<std::string>& removable);

// Deletes root/path, then each parent folder up to (not including) root that
// the deletion left empty. True when the file was deleted.
bool removeListedFile(const std::filesystem::path& root, const std::string& path);

}  // namespace launcher
