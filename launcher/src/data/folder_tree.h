// Copying, emptying and counting folder trees: the saves and their backups,
// an add-on's folder. Symbolic links are copied and deleted as links and never followed,
// so a link inside the saves can neither pull outside files into a backup nor
// let a deletion reach outside the tree. Any thread; the caller owns the
// folders while a call runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

// Creates `to` with its parents, then copies the tree under `from` into it:
// folders, regular files (overwriting) and symbolic links (as links,
// replacing what was there). Other kinds of entries (pipes, sockets, devices)
// are skipped. `from` itself may be a link to a folder. Returns true only once
// every copied file and folder entry is on disk. On failure returns false at
// the first error, with the system's text in `error` (a full disk reads as
// such); what was copied so far stays.
[[nodiscard]] bool copyFolder(const std::filesystem::path& from, const std::filesystem::path& to,
                              std::string& error);

// Deletes `path` and, when it is a real folder, everything under it; a link is
// deleted, never what it points to. A missing path is no error. Stops at the
// first error with the system's text in `error`; what was deleted stays
// deleted.
[[nodiscard]] bool removeTree(const std::filesystem::path& path, std::string& error);

// Deletes every entry of `folder`, leaving the folder itself. As removeTree.
[[nodiscard]] bool removeFolderContents(const std::filesystem::path& folder, std::string& error);

struct FileCount {
  int64_t files = 0;   // regular files, through every subfolder (links not followed)
  uint64_t bytes = 0;  // their sizes
};

// Counts the regular files under `folder`. A missing folder, or one that cannot
// be listed part-way, counts what could be seen; never fails.
[[nodiscard]] FileCount countFiles(const std::filesystem::path& folder);

}  // namespace launcher
