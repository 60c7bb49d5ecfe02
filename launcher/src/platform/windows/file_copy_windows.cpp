#include "platform/file_copy.h"

#include "platform/windows/win_helpers.h"

#include <memory>

namespace launcher {

namespace {

constexpr DWORD blockSize = 256 * 1024;

bool isLinkOrFolder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0;
}

}  // namespace

bool copyFileData(const std::filesystem::path& from, const std::filesystem::path& to, std::string& error) {
  // The source's own entry, never a link's target.
  win::Handle in(::CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in.valid()) {
    error = win::errorText(::GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(in.get(), &info)) {
    error = win::errorText(::GetLastError());
    return false;
  }
  if (isLinkOrFolder(info.dwFileAttributes)) {
    error = win::errorText(ERROR_INVALID_PARAMETER);
    return false;
  }
  // Never through a link or a junction at the destination's name.
  if (isLinkOrFolder(::GetFileAttributesW(to.c_str()))) {
    error = win::errorText(ERROR_INVALID_PARAMETER);
    return false;
  }
  const DWORD keep = info.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
  win::Handle out(::CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!out.valid()) {
    error = win::errorText(::GetLastError());
    return false;
  }
  std::unique_ptr<char[]> buffer(new char[blockSize]);
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(in.get(), buffer.get(), blockSize, &n, nullptr)) {
      error = win::errorText(::GetLastError());
      return false;
    }
    if (n == 0) break;
    DWORD written = 0;
    if (!::WriteFile(out.get(), buffer.get(), n, &written, nullptr) || written != n) {
      error = win::errorText(::GetLastError());
      return false;
    }
  }
  if (!::FlushFileBuffers(out.get())) {
    error = win::errorText(::GetLastError());
    return false;
  }
  out.reset();
  // The read-only mark stands for the permission bits Linux copies.
  if (keep) ::SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_READONLY);
  return true;
}

}  // namespace launcher
