#include "update/sync_install.h"

#include "platform/platform.h"
#include "update/location.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Deletes what the release drops from the way of root/path. True when
// anything was deleted.
bool makeWayFor(const fs::path& root, const std::string& path, const std::unordered_set<std::string>& removable,
                std::set<fs::path>& touched) {
  std::error_code ec;
  bool cleared = false;
  const fs::path rel = toWide(manifestPathKey(path));
  fs::path prefix;
  for (auto it = rel.begin(); it != rel.end() && std::next(it) != rel.end(); ++it) {
    prefix /= *it;
    const fs::path p = root / prefix;
    if (!fs::is_directory(fs::symlink_status(p, ec)) && removable.count(toGenericUtf8(prefix)) &&
        fs::remove(p, ec)) {
      touched.insert(p.parent_path());
      cleared = true;
    }
  }
  const fs::path target = root / rel;
  if (fs::is_directory(fs::symlink_status(target, ec))) {
    std::vector<fs::path> files;
    std::vector<fs::path> folders;
    for (auto it = fs::recursive_directory_iterator(target, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) {
        folders.push_back(it->path());
      } else if (removable.count(toGenericUtf8(it->path().lexically_relative(root)))) {
        files.push_back(it->path());
      }
    }
    for (const fs::path& f : files) {
      if (fs::remove(f, ec)) {
        touched.insert(f.parent_path());
        cleared = true;
      }
    }
    // Deepest first; a folder that still holds anything stays.
    std::sort(folders.begin(), folders.end(),
              [](const fs::path& a, const fs::path& b) { return a.native().size() > b.native().size(); });
    for (const fs::path& f : folders) fs::remove(f, ec);
    if (fs::remove(target, ec)) cleared = true;
    touched.insert(target.parent_path());
  }
  return cleared;
}

// The folders from root down to `folder` (both included).
void addFolders(const fs::path& root, fs::path folder, std::set<fs::path>& touched) {
  const fs::path rel = folder.lexically_relative(root);
  if (rel.empty() || *rel.begin() == "..") {
    touched.insert(root);
    return;
  }
  for (;; folder = folder.parent_path()) {
    touched.insert(folder);
    if (folder == root || !folder.has_parent_path() || folder.parent_path() == folder) break;
  }
}

bool moveInto(const fs::path& root, const fs::path& staged, const fs::path& target, std::set<fs::path>& touched) {
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  std::string error;
  // The staged file's data is on disk already; the folders are flushed once,
  // together, after every move.
  if (!moveFileReplace(staged, target, MoveMode::Plain, error)) return false;
  addFolders(root, target.parent_path(), touched);
  return true;
}

}  // namespace

std::string manifestPathKey(const std::string& path) {
  // "/" on every system, so a key names one file whichever system made it.
  return toGenericUtf8(toWide(path).lexically_normal());
}

bool installStagedFile(const fs::path& root, const std::string& path, const fs::path& staged,
                       const std::unordered_set<std::string>& removable, std::set<fs::path>& touched) {
  const fs::path target = root / toWide(path);
  if (moveInto(root, staged, target, touched)) return true;
  return makeWayFor(root, path, removable, touched) && moveInto(root, staged, target, touched);
}

bool removeListedFile(const fs::path& root, const std::string& path, std::set<fs::path>& touched) {
  std::error_code ec;
  const fs::path rel = toWide(manifestPathKey(path));
  if (!fs::remove(root / rel, ec)) return false;
  touched.insert((root / rel).parent_path());
  for (fs::path p = rel.parent_path(); !p.empty(); p = p.parent_path()) {
    if (!fs::remove(root / p, ec)) break;  // not empty, or not ours to remove
    touched.insert((root / p).parent_path());
  }
  return true;
}

bool flushFolders(const std::set<fs::path>& folders) {
  std::vector<fs::path> order(folders.begin(), folders.end());
  std::sort(order.begin(), order.end(),
            [](const fs::path& a, const fs::path& b) { return a.native().size() > b.native().size(); });
  bool ok = true;
  std::error_code ec;
  for (const fs::path& folder : order) {
    // A folder removed after it was noted has nothing left to flush.
    if (!fs::is_directory(folder, ec)) continue;
    if (!flushFolderToDisk(folder)) ok = false;
  }
  return ok;
}

void clearStagingObstacles(const fs::path& filesFolder, const fs::path& staged) {
  std::error_code ec;
  const fs::path rel = staged.lexically_relative(filesFolder);
  if (rel.empty() || *rel.begin() == "..") return;
  fs::path p = filesFolder;
  for (auto it = rel.begin(); it != rel.end(); ++it) {
    p /= *it;
    const fs::file_status status = fs::symlink_status(p, ec);
    if (ec || !fs::exists(status)) return;  // nothing further down can be in the way
    if (std::next(it) == rel.end()) {
      // The staged file's own place: only a folder is in the way.
      if (fs::is_directory(status)) fs::remove_all(p, ec);
      return;
    }
    // A folder of the staged file's path: anything but a real folder is in the way.
    if (!fs::is_directory(status)) {
      fs::remove(p, ec);
      return;
    }
  }
}

}  // namespace launcher
