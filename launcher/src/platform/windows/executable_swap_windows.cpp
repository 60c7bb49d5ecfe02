// Swapping the running executable on Windows. A file the system has mapped to
// run cannot lose its name to a replacing rename, but it can be renamed: when
// the one-step replace is refused, the running build is renamed to `old` and
// the new one renamed into place, so the path names no build for the moment
// between those two renames (and after a power cut there, the previous build
// is whole under `old`).
#include "platform/executable_swap.h"

#include "platform/file_copy.h"
#include "platform/platform.h"
#include "platform/windows/win_helpers.h"

namespace launcher {

namespace {

bool removeName(const std::filesystem::path& file, std::string& error) {
  if (::DeleteFileW(file.c_str())) return true;
  const DWORD code = ::GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
  error = win::errorText(code);
  return false;
}

bool refusedForUse(DWORD code) { return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION; }

}  // namespace

SwapResult swapInExecutable(const std::filesystem::path& fresh, const std::filesystem::path& executable,
                            const std::filesystem::path& old, bool& durable, std::string& error) {
  durable = true;
  const std::filesystem::path folder = executable.has_parent_path() ? executable.parent_path() : ".";
  if (!removeName(old, error)) return SwapResult::OldNotKept;
  // A second name for the running build first, as on other systems: a hard
  // link, else a copy (flushed before it returns).
  if (!::CreateHardLinkW(old.c_str(), executable.c_str(), nullptr)) {
    if (!copyFileData(executable, old, error)) {
      std::string ignored;
      (void)removeName(old, ignored);
      return SwapResult::OldNotKept;
    }
  }
  if (::MoveFileExW(fresh.c_str(), executable.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    if (!flushFolderToDisk(folder)) {
      error = win::errorText(::GetLastError());
      durable = false;
    }
    return SwapResult::Swapped;
  }
  const DWORD code = ::GetLastError();
  if (!refusedForUse(code)) {
    error = win::errorText(code);
    return SwapResult::NotSwapped;
  }
  // The running build's name cannot be replaced: move that name aside (over
  // the second name, which holds the same build) and take it.
  if (!::MoveFileExW(executable.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = win::errorText(::GetLastError());
    return SwapResult::NotSwapped;
  }
  if (!::MoveFileExW(fresh.c_str(), executable.c_str(), MOVEFILE_WRITE_THROUGH)) {
    error = win::errorText(::GetLastError());
    // Put the previous build back under its name; `old` is then a copy again
    // only if that fails too, and the caller reports NotSwapped either way.
    if (!::CreateHardLinkW(executable.c_str(), old.c_str(), nullptr)) {
      (void)::MoveFileExW(old.c_str(), executable.c_str(), MOVEFILE_WRITE_THROUGH);
    }
    return SwapResult::NotSwapped;
  }
  if (!flushFolderToDisk(folder)) {
    error = win::errorText(::GetLastError());
    durable = false;
  }
  return SwapResult::Swapped;
}

}  // namespace launcher
