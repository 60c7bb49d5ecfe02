// Windows implementation of the platform seam: the system's own calls
// (SHGetKnownFolderPath, MoveFileExW, GetDiskFreeSpaceExW, named mutexes).
#include "platform/platform.h"

#include "platform/private_files.h"
#include "platform/windows/win_helpers.h"

#include <io.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace launcher {

namespace fs = std::filesystem;

const char* const gameExecutableName = "Vantor.exe";
const char* const uninstallerName = "unins000.exe";

namespace {

// The game holds this mutex while it runs; the launcher only asks whether it exists.
constexpr const wchar_t* gameMutexName = L"Local\\Vantor.Game";

fs::path knownFolder(REFKNOWNFOLDERID id) {
  PWSTR text = nullptr;
  fs::path folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &text)) && text) folder = fs::path(text);
  ::CoTaskMemFree(text);
  return folder;
}

// errno for callers that report a failed flush through errno.
void setErrno(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      errno = EACCES;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    default:
      errno = EIO;
  }
}

bool isDiskFull(DWORD code) { return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL; }

// The folders a test put in place of the user's own (overrideUserFolders).
std::mutex overrideMutex;
fs::path overrideRoot;

bool overridden(fs::path& root) {
  std::lock_guard<std::mutex> lock(overrideMutex);
  root = overrideRoot;
  return !root.empty();
}

}  // namespace

int currentProcessId() { return static_cast<int>(::GetCurrentProcessId()); }

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + (argc > 0 ? argc : 0));
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(win::narrow(wide[i]));
  ::LocalFree(wide);
  return args;
}

fs::path executablePath() {
  std::wstring buffer(520, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return fs::path(buffer.substr(0, n));
    // Cut short: a long path (\\?\ prefixed) needs a larger buffer.
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<std::string> environmentVariable(const char* name) {
  const std::wstring wide = win::widen(name);
  const DWORD size = ::GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
  if (size == 0) {
    // Set but empty, or not set at all.
    if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::wstring value(size, L'\0');
  const DWORD n = ::GetEnvironmentVariableW(wide.c_str(), value.data(), size);
  if (n == 0 || n >= size) return std::nullopt;
  value.resize(n);
  return win::narrow(value);
}

void setEnvironmentVariable(const char* name, const std::optional<std::string>& value) {
  // The C runtime's copy as well as the system's, so getenv agrees.
  const std::wstring wide = win::widen(name);
  ::_wputenv_s(wide.c_str(), value ? win::widen(*value).c_str() : L"");
  ::SetEnvironmentVariableW(wide.c_str(), value ? win::widen(*value).c_str() : nullptr);
}

void overrideUserFolders(const fs::path& root) {
  std::lock_guard<std::mutex> lock(overrideMutex);
  overrideRoot = root;
}

fs::path localAppDataFolder() {
  fs::path root;
  if (overridden(root)) return root / "home" / ".local" / "share";
  return knownFolder(FOLDERID_LocalAppData);
}

fs::path savedGamesFolder() {
  fs::path root;
  if (overridden(root)) return {};
  return knownFolder(FOLDERID_SavedGames);
}

fs::path tempFolder() {
  fs::path root;
  if (overridden(root)) return root / "tmp";
  // GetTempPath2W (Windows 11) gives SYSTEM its own folder; older systems lack it.
  using TempPathFn = DWORD(WINAPI*)(DWORD, LPWSTR);
  static const TempPathFn tempPath2 = [] {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<TempPathFn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "GetTempPath2W")))
                  : nullptr;
  }();
  wchar_t buffer[MAX_PATH + 2];
  const DWORD n = tempPath2 ? tempPath2(MAX_PATH + 1, buffer) : ::GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH + 1) return {};
  fs::path folder(std::wstring(buffer, n));
  // "C:\...\Temp\": without the trailing separator, as on Linux.
  if (!folder.has_filename() && folder.has_parent_path() && folder.parent_path() != folder.root_path()) {
    folder = folder.parent_path();
  }
  return folder;
}

bool ensurePrivateFolder(const fs::path& folder, const std::string& what, std::string& error) {
  const std::string name = win::narrow(folder.native());
  if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    error = "Can't create the " + what + " " + name + ": " + win::errorText(::GetLastError());
    return false;
  }
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = "Can't use the " + what + " " + name + ": " + win::errorText(::GetLastError());
    return false;
  }
  // A junction or link to a folder is refused, wherever it points.
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = "The " + what + " " + name + " is not a folder (a link or a file stands in its place)";
    return false;
  }
  // A folder made with the default security inherits its parent's, which in
  // the user's profile keeps others out; one another user made beforehand
  // (in a shared temporary folder) is refused by its owner.
  std::string owner;
  if (!win::ownedByThisUser(folder, owner)) {
    error = "The " + what + " " + name + " belongs to another user (" + owner + ")";
    return false;
  }
  return true;
}

bool ensurePrivateFolder(const fs::path& folder, std::string& error) {
  return ensurePrivateFolder(folder, "runtime folder", error);
}

bool runtimeFolder(fs::path& folder, std::string& error) {
  fs::path root;
  if (overridden(root)) {
    folder = root / "runtime" / "vantor";
    std::error_code ec;
    fs::create_directories(folder, ec);
    return ensurePrivateFolder(folder, error);
  }
  // The locks are named mutexes in the session's own namespace; this folder
  // only holds what a run keeps beside them, in the user's temporary folder.
  const fs::path temp = tempFolder();
  if (temp.empty()) {
    error = "The system names no temporary folder";
    folder.clear();
    return false;
  }
  folder = temp / "vantor";
  if (ensurePrivateFolder(folder, error)) return true;
  folder.clear();
  return false;
}

fs::path runtimeFolder() {
  fs::path folder;
  std::string error;
  return runtimeFolder(folder, error) ? folder : fs::path();
}

std::FILE* openFile(const fs::path& file, FileOpen mode) {
  // "N": not inherited by a child started meanwhile.
  const wchar_t* how = L"rbN";
  switch (mode) {
    case FileOpen::Read:
      how = L"rbN";
      break;
    case FileOpen::CreateOrTruncate:
      how = L"wbN";
      break;
    case FileOpen::UpdateExisting:
      how = L"r+bN";
      break;
    case FileOpen::CreatePrivate: {
      // Never through a link or junction at the name.
      const DWORD attributes = ::GetFileAttributesW(file.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return nullptr;
      std::FILE* out = ::_wfopen(file.c_str(), L"wbN");
      if (out && !restrictToOwner(file)) {
        std::fclose(out);
        return nullptr;
      }
      return out;
    }
  }
  return ::_wfopen(file.c_str(), how);
}

bool seekFile(std::FILE* stream, uint64_t offset) {
  if (!stream || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return ::_fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) == 0;
}

PrepareResult prepareFile(const fs::path& file, uint64_t size, std::string& error) {
  win::Handle h(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) {
    const DWORD code = ::GetLastError();
    error = win::errorText(code);
    return isDiskFull(code) ? PrepareResult::NoSpace : PrepareResult::Failed;
  }
  // Setting the end of file allocates the whole size on NTFS: a full disk
  // shows here.
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!::SetFilePointerEx(h.get(), end, nullptr, FILE_BEGIN) || !::SetEndOfFile(h.get())) {
    const DWORD code = ::GetLastError();
    error = win::errorText(code);
    return isDiskFull(code) ? PrepareResult::NoSpace : PrepareResult::Failed;
  }
  return PrepareResult::Ready;
}

bool fileIdentity(const fs::path& file, FileIdentity& out) {
  // No access asked: reading the identity needs none, and folders open too.
  win::Handle h(::CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h.get(), &info)) return false;
  out.device = info.dwVolumeSerialNumber;
  out.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool fileStamp(const fs::path& file, FileStamp& out) {
  // Opened without FILE_FLAG_OPEN_REPARSE_POINT: links are followed, as stat does.
  win::Handle h(::CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO times;
  if (!::GetFileInformationByHandle(h.get(), &info) ||
      !::GetFileInformationByHandleEx(h.get(), FileBasicInfo, &times, sizeof times)) {
    return false;
  }
  // 100 ns ticks since 1601 to nanoseconds since 1970.
  constexpr int64_t ticksTo1970 = 116444736000000000;
  const auto ns = [](const LARGE_INTEGER& t) { return (t.QuadPart - ticksTo1970) * 100; };
  out.device = info.dwVolumeSerialNumber;
  out.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  out.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out.modifiedNs = ns(times.LastWriteTime);
  // The change time moves with attribute and security changes too, as ctime does.
  out.changedNs = ns(times.ChangeTime);
  return true;
}

void fileStampsUnder(const fs::path& folder, const std::vector<fs::path>& names,
                     std::vector<std::optional<FileStamp>>& out) {
  out.assign(names.size(), std::nullopt);
  for (size_t i = 0; i < names.size(); ++i) {
    FileStamp stamp;
    if (fileStamp(folder / names[i], stamp)) out[i] = stamp;
  }
}

bool moveFileReplace(const fs::path& from, const fs::path& to, MoveMode mode, std::string& error) {
  DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED;
  if (mode == MoveMode::WriteThrough) flags |= MOVEFILE_WRITE_THROUGH;
  if (!::MoveFileExW(from.c_str(), to.c_str(), flags)) {
    const DWORD code = ::GetLastError();
    error = win::errorText(code);
    setErrno(code);
    return false;
  }
  return true;
}

bool flushFileToDisk(const fs::path& file) {
  win::Handle h(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid() || !::FlushFileBuffers(h.get())) {
    setErrno(::GetLastError());
    return false;
  }
  return true;
}

void startFlushToDisk(const fs::path&) {
  // Windows has no call that starts write-back without waiting for it; the
  // later flushFileToDisk does all of it.
}

bool flushFolderToDisk(const fs::path& folder) {
  // A folder's handle can be flushed like a file's; it needs write access,
  // which a folder the launcher writes into grants.
  win::Handle h(::CreateFileW(folder.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.valid() || !::FlushFileBuffers(h.get())) {
    setErrno(::GetLastError());
    return false;
  }
  return true;
}

bool isLink(const fs::path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool setUninstallEntrySize(uint32_t kib) {
  HKEY key = nullptr;
  // Opened, never created: only an installer makes the entry.
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vantor_is1", 0,
                      KEY_WRITE, &key) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD value = kib;
  const bool ok = ::RegSetValueExW(key, L"EstimatedSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                   sizeof value) == ERROR_SUCCESS;
  ::RegCloseKey(key);
  return ok;
}

bool freeDiskSpace(const fs::path& folder, uint64_t& bytes) {
  ULARGE_INTEGER available;
  if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
  bytes = available.QuadPart;
  return true;
}

void debugOutput(const std::string& line) {
  ::OutputDebugStringW(win::widen(line).c_str());
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

fs::path gameLockPath() {
  // The game's lock is the named mutex "Local\Vantor.Game", not a file.
  return {};
}

bool isGameRunning() {
  HANDLE h = ::OpenMutexW(SYNCHRONIZE, FALSE, gameMutexName);
  if (!h) return false;
  ::CloseHandle(h);
  return true;
}

GameLock::~GameLock() { release(); }

bool GameLock::acquire(std::string& error) {
  if (fd_ >= 0) return true;
  HANDLE h = ::CreateMutexW(nullptr, FALSE, gameMutexName);
  if (!h) {
    error = "Can't create the game's mutex: " + win::errorText(::GetLastError());
    return false;
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(h);
    error = "The game is already running (Local\\Vantor.Game exists)";
    return false;
  }
  fd_ = win::toSlot(h);
  return true;
}

void GameLock::release() {
  if (fd_ < 0) return;
  ::CloseHandle(win::fromSlot(fd_));  // the last handle: the mutex is gone
  fd_ = -1;
}

FileLock::~FileLock() { release(); }

FileLock::Result FileLock::tryAcquire(const fs::path& file, std::string& error) {
  if (fd_ >= 0) return Result::Acquired;
  std::error_code ec;
  if (file.has_parent_path()) fs::create_directories(file.parent_path(), ec);
  // No sharing: every other open of the file, in this process or another,
  // fails while the handle lives, and the system closes it when we die.
  HANDLE h = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return Result::HeldElsewhere;
    error = "Can't open " + win::narrow(file.native()) + ": " + win::errorText(code);
    return Result::Failed;
  }
  fd_ = win::toSlot(h);
  path_ = file;
  return Result::Acquired;
}

void FileLock::removeAndRelease() {
  if (fd_ < 0) return;
  // Marked for deletion through the handle we hold: no one else can have
  // opened the file meanwhile.
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  ::SetFileInformationByHandle(win::fromSlot(fd_), FileDispositionInfo, &disposition, sizeof disposition);
  release();
}

void FileLock::release() {
  if (fd_ < 0) return;
  ::CloseHandle(win::fromSlot(fd_));
  fd_ = -1;
  path_.clear();
}

bool isTerminal(StandardStream stream) {
  const DWORD which = stream == StandardStream::Input    ? STD_INPUT_HANDLE
                      : stream == StandardStream::Output ? STD_OUTPUT_HANDLE
                                                         : STD_ERROR_HANDLE;
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

}  // namespace launcher
