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
bool makeWayFor(const fs::path& root, const std::string& path, const std::unordered_set<std::string>& removable) {
  std::error_code ec;
  bool cleared = false;
  const fs::path rel = toWide(manifestPathKey(path));
  fs::path prefix;
  for (auto it = rel.begin(); it != rel.end() && std::next(it) != rel.end(); ++it) {
    prefix /= *it;
    const fs::path p = root / prefix;
    if (!fs::is_directory(fs::symlink_status(p, ec)) && removable.count(toUtf8(prefix)) &&
        fs::remove(p, ec)) {
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
      } else if (removable.count(toUtf8(it->path().lexically_relative(root)))) {
        files.push_back(it->path());
      }
    }
    for (const fs::path& f : files) cleared |= fs::remove(f, ec);
    // Deepest first; a folder that still holds anything stays.
    std::sort(folders.begin(), folders.end(),
              [](const fs::path& a, const fs::path& b) { return a.native().size() > b.native().size(); });
    for (const fs::path& f : folders) fs::remove(f, ec);
    cleared |= fs::remove(target, ec);
  }
  return cleared;
}

bool moveInto(const fs::path& staged, const fs::path& target) {
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  std::string error;
  return moveFileReplace(staged, target, MoveMode::WriteThrough, error);
}

}  // namespace

std::string manifestPathKey(const std::string& path) {
  return toUtf8(toWide(path).lexically_normal());
}

bool installStagedFile(const fs::path& root, const std::string& path, const fs::path& staged,
                       const std::unordered_set<std::string>& removable) {
  const fs::path target = root / toWide(path);
  if (moveInto(staged, target)) return true;
  return makeWayFor(root, path, removable) && moveInto(staged, target);
}

bool removeListedFile(const fs::path& root, const std::string& path) {
  std::error_code ec;
  const fs::path rel = toWide(manifestPathKey(path));
  if (!fs::remove(root / rel, ec)) return false;
  for (fs::path p = rel.parent_path(); !p.empty(); p = p.parent_path()) {
    if (!fs::remove(root / p, ec)) break;  // not empty, or not ours to remove
  }
  return true;
}

}  // namespace launcher
