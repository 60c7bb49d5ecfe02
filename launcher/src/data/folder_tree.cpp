#include "data/folder_tree.h"

#include "platform/file_copy.h"
#include "platform/platform.h"

#include <cerrno>
#include <system_error>
#include <vector>

namespace launcher {

namespace fs = std::filesystem;

namespace {

bool fail(const std::error_code& ec, std::string& error) {
  error = ec.message();
  return false;
}

// Clears the way for a new entry at `dest` unless it is already of `wanted`.
bool makeRoomFor(const fs::path& dest, fs::file_type wanted, std::string& error) {
  std::error_code ec;
  fs::file_status st = fs::symlink_status(dest, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) return fail(ec, error);
  if (!fs::exists(st) || st.type() == wanted) return true;
  return removeTree(dest, error);
}

bool copyTree(const fs::path& from, const fs::path& to, std::string& error) {
  std::error_code ec;
  fs::directory_iterator it(from, ec);
  if (ec) return fail(ec, error);
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path source = it->path();
    const fs::path dest = to / source.filename();
    fs::file_status st = it->symlink_status(ec);
    if (ec) return fail(ec, error);
    switch (st.type()) {
      case fs::file_type::directory:
        if (!makeRoomFor(dest, fs::file_type::directory, error)) return false;
        fs::create_directory(dest, source, ec);  // the source's permissions
        if (ec) return fail(ec, error);
        if (!copyTree(source, dest, error)) return false;
        break;
      case fs::file_type::regular:
        // Never write through a link or into a folder that sits at the name.
        if (!makeRoomFor(dest, fs::file_type::regular, error)) return false;
        if (!copyFileData(source, dest, error)) return false;
        break;
      case fs::file_type::symlink: {
        fs::path target = fs::read_symlink(source, ec);
        if (ec) return fail(ec, error);
        if (!makeRoomFor(dest, fs::file_type::not_found, error)) return false;
        fs::create_symlink(target, dest, ec);
        if (ec) return fail(ec, error);
        break;
      }
      default:
        break;  // pipes, sockets, devices: not save data
    }
  }
  if (ec) return fail(ec, error);
  // The new entries must be on disk before anyone relies on the copy (a
  // restore empties the saves right after its safety backup).
  if (!flushFolderToDisk(to)) return fail(std::error_code(errno, std::generic_category()), error);
  return true;
}

}  // namespace

bool copyFolder(const fs::path& from, const fs::path& to, std::string& error) {
  std::error_code ec;
  fs::create_directories(to, ec);
  if (ec) return fail(ec, error);
  if (!copyTree(from, to, error)) return false;
  if (to.has_parent_path() && !flushFolderToDisk(to.parent_path())) {
    return fail(std::error_code(errno, std::generic_category()), error);
  }
  return true;
}

bool removeTree(const fs::path& path, std::string& error) {
  std::error_code ec;
  fs::file_status st = fs::symlink_status(path, ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return true;
    return fail(ec, error);
  }
  if (st.type() == fs::file_type::directory && !removeFolderContents(path, error)) return false;
  if (!fs::remove(path, ec) && ec) return fail(ec, error);
  return true;
}

bool removeFolderContents(const fs::path& folder, std::string& error) {
  std::error_code ec;
  // Names first: deleting while iterating is unspecified for the iterator.
  std::vector<fs::path> entries;
  fs::directory_iterator it(folder, ec);
  if (ec) return fail(ec, error);
  for (; it != fs::directory_iterator(); it.increment(ec)) entries.push_back(it->path());
  if (ec) return fail(ec, error);
  for (const fs::path& entry : entries) {
    if (!removeTree(entry, error)) return false;
  }
  return true;
}

FileCount countFiles(const fs::path& folder) {
  FileCount count;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  if (ec) return count;
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::error_code statError;
    if (it->symlink_status(statError).type() != fs::file_type::regular || statError) continue;
    uint64_t size = it->file_size(statError);
    if (statError) continue;
    ++count.files;
    count.bytes += size;
  }
  return count;
}

}  // namespace launcher
