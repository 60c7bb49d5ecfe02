// Moving a sync's staged files into place and deleting the files a release
// drops. Paths are manifest paths (already checked to stay inside the root).
// Sync thread only.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <unordered_set>

namespace launcher {

// A manifest path as the file it names: "." and ".." collapsed, doubled
// separators merged, so that "a//b" and "a/b" compare equal.
[[nodiscard]] std::string manifestPathKey(const std::string& path);

// Moves `staged` (already flushed to disk) to root/path, replacing what is
// there. When that fails because files in `removable` (keys of files the
// release drops) stand in the way, as a file where a folder must go or in a
// folder where the file must go, those are deleted and the move is tried once
// more. The folders the move touched are added to `touched`; flush them with
// flushFolders before anything relies on the move being durable.
[[nodiscard]] bool installStagedFile(const std::filesystem::path& root, const std::string& path,
                                     const std::filesystem::path& staged,
                                     const std::unordered_set<std::string>& removable,
                                     std::set<std::filesystem::path>& touched);

// Deletes root/path, then each parent folder up to (not including) root that
// the deletion left empty. True when the file was deleted. The folders whose
// entries changed are added to `touched`.
bool removeListedFile(const std::filesystem::path& root, const std::string& path,
                      std::set<std::filesystem::path>& touched);

// Flushes each folder's entries to disk, deepest first. False when any failed.
bool flushFolders(const std::set<std::filesystem::path>& folders);

// Clears what an earlier run left inside the staging area in the way of the
// staged file `staged` (a path below `filesFolder`): a file where one of its
// folders must go, or a folder where it must go. Nothing outside
// `filesFolder` is touched.
void clearStagingObstacles(const std::filesystem::path& filesFolder, const std::filesystem::path& staged);

}  // namespace launcher
