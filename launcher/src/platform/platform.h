// What the core needs of the operating system. Declarations only: the build
// picks one implementation folder (platform/linux/ today). Nothing outside
// platform/ and shell/ includes a system header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace launcher {

// Name of the game program inside the game folder ("Vantor.exe" on Windows).
extern const char* const gameExecutableName;
// Name of the uninstaller beside the launcher ("unins000.exe" on Windows).
extern const char* const uninstallerName;

// This process's id, as the system and its tools show it.
[[nodiscard]] int currentProcessId();

// The program's arguments as UTF-8, the program's name first. On Windows they
// come from the wide command line: the argv main receives is in the ANSI code
// page, which cannot hold every name. Elsewhere argv itself.
[[nodiscard]] std::vector<std::string> commandLineArguments(int argc, char** argv);

// Full path of the running executable, or an empty path when it cannot be read.
[[nodiscard]] std::filesystem::path executablePath();

// The per-user local application-data folder ($XDG_DATA_HOME, else
// ~/.local/share), or an empty path when neither can be found.
[[nodiscard]] std::filesystem::path localAppDataFolder();

// The per-user saved-games folder, or an empty path when the system has none
// (Linux has none, so saves live in the data folder).
[[nodiscard]] std::filesystem::path savedGamesFolder();

// The system's temporary folder ($TMPDIR, else /tmp).
[[nodiscard]] std::filesystem::path tempFolder();

// The per-user runtime folder for locks and sockets ($XDG_RUNTIME_DIR/vantor,
// else /tmp/vantor-<uid>), created with mode 0700 when missing. The /tmp
// fallback is used only when it is a real folder (not a link) owned by this
// user with mode 0700: another local user could otherwise hold our locks.
// False with `error` saying why when it cannot be used; start-up then logs
// the reason at "error" and exits 1.
[[nodiscard]] bool runtimeFolder(std::filesystem::path& folder, std::string& error);

// As above; an empty path when the folder cannot be used, so that no lock or
// socket is ever placed in a folder another user controls.
[[nodiscard]] std::filesystem::path runtimeFolder();

// Makes sure `folder` is a private folder of this user: created with mode 0700
// when missing, then accepted only when it is a folder (not a link to one),
// owned by this user, with mode 0700. False with a reason otherwise.
[[nodiscard]] bool ensurePrivateFolder(const std::filesystem::path& folder, std::string& error);
// The same, with `what` naming the folder in the reason ("data folder").
[[nodiscard]] bool ensurePrivateFolder(const std::filesystem::path& folder, const std::string& what,
                                       std::string& error);

// The value of an environment variable as UTF-8 (the system's wide
// environment on Windows, not the ANSI code page's copy), or nullopt when it
// is not set. Any thread.
[[nodiscard]] std::optional<std::string> environmentVariable(const char* name);

// Sets a variable of this process's environment, which children inherit, or
// removes it (nullopt). Tests and start-up only: not while other threads read
// the environment.
void setEnvironmentVariable(const char* name, const std::optional<std::string>& value);

// Tests only: from now on this process's per-user folders lie under `root`:
// local application data in "home/.local/share", no saved-games folder, the
// temporary and runtime folders in "tmp" and "runtime". An empty path gives
// the system's back. On Linux the folders come from the environment, which
// the tests set as well, so there this does nothing more; on Windows the
// known folders do not, so this is what keeps a test out of the user's own.
void overrideUserFolders(const std::filesystem::path& root);

// How openFile opens a file.
enum class FileOpen {
  Read,              // "rb": reading, from the start
  CreateOrTruncate,  // "wb": writing a new or emptied file
  UpdateExisting,    // "r+b": reading and writing in place; never creates the file
  CreatePrivate,     // as CreateOrTruncate, readable and writable by the owner
                     // only (an existing file loses every other permission),
                     // and never through a link at the name
};

// The one way the core opens a C stream on a file: the path is handed over as
// a path (a narrow fopen of path.c_str() would take a Windows path's wide
// characters for bytes), and the descriptor is never inherited by a child.
// Null when it cannot be opened. Any thread; the stream belongs to the caller.
[[nodiscard]] std::FILE* openFile(const std::filesystem::path& file, FileOpen mode);

// Moves a stream's position to `offset` from the start, with 64-bit offsets on
// every system (fseek's long is 32 bits on Windows). False on failure.
[[nodiscard]] bool seekFile(std::FILE* stream, uint64_t offset);

enum class MoveMode {
  Plain,         // rename; copy then rename when the two lie on different file systems
  WriteThrough,  // as Plain, and return only once data and folder entry are on disk
};

// Moves `from` over `to`, replacing an existing file. On failure returns false
// and fills `error` with the system's reason; `from` is then still in place
// unless the copy across file systems half-succeeded (never a damaged `to`).
[[nodiscard]] bool moveFileReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                                   MoveMode mode, std::string& error);

// Flushes a written file's data to disk (fsync). False when it cannot be
// opened or synced.
[[nodiscard]] bool flushFileToDisk(const std::filesystem::path& file);

// Asks the system to start writing a file's data to disk without waiting for
// it, so that a later flushFileToDisk has less left to wait for. Best effort.
void startFlushToDisk(const std::filesystem::path& file);

// Flushes a folder's entries (a rename into it) to disk. False on failure.
[[nodiscard]] bool flushFolderToDisk(const std::filesystem::path& folder);

// Creates `file` when it is missing, without truncating what it holds, sets
// its size to `size` and asks the file system to allocate all of it, so that a
// full disk shows here rather than half-way through filling the file. Bytes
// below `size` keep their content. A file system that cannot allocate ahead
// only gets the size.
enum class PrepareResult { Ready, NoSpace, Failed };
[[nodiscard]] PrepareResult prepareFile(const std::filesystem::path& file, uint64_t size, std::string& error);

// Which file a path names, as the file system identifies it: two paths with
// the same identity are one file, whatever their spelling (a second name of
// the same file, or another case on a case-insensitive file system).
struct FileIdentity {
  uint64_t device = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};
[[nodiscard]] bool fileIdentity(const std::filesystem::path& file, FileIdentity& out);

// True when `path` itself is a link: a symbolic link, or on Windows any
// reparse point (a junction too), which a walk must not enter. False for
// anything else, and when it cannot be asked.
[[nodiscard]] bool isLink(const std::filesystem::path& path);

// Sets "EstimatedSize" (KiB) of the uninstall entry the installer made for this
// user (HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantor_is1).
// False, creating nothing, when there is no such entry or it cannot be
// written; always false on Linux, which has no such registry.
[[nodiscard]] bool setUninstallEntrySize(uint32_t kib);

// What tells a file's content may have changed, without reading it: which
// file the name leads to (links followed), its size, and its modification and
// status-change times (nanoseconds since 1970). A write in place changes the
// times; a replace by rename changes the identity too.
struct FileStamp {
  uint64_t device = 0;
  uint64_t index = 0;
  uint64_t size = 0;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
  bool operator==(const FileStamp&) const = default;
};
// False when the file cannot be asked (missing, no rights).
[[nodiscard]] bool fileStamp(const std::filesystem::path& file, FileStamp& out);
// fileStamp(folder / names[i]) for each of `names` (relative paths), with the
// folder looked up once rather than for every name: out[i] is empty where
// fileStamp would return false.
void fileStampsUnder(const std::filesystem::path& folder, const std::vector<std::filesystem::path>& names,
                     std::vector<std::optional<FileStamp>>& out);

// Bytes available to this user on the volume holding `folder`; false when the
// volume cannot be asked.
[[nodiscard]] bool freeDiskSpace(const std::filesystem::path& folder, uint64_t& bytes);

// Passes one finished log line to the debugger's channel (standard error).
void debugOutput(const std::string& line);

// The path of the game's lock file: the game holds a write lock on it while it runs.
[[nodiscard]] std::filesystem::path gameLockPath();

// True while some process holds the game's lock. Only asks; never takes the
// lock, so it cannot disturb a game that is starting. Any thread.
[[nodiscard]] bool isGameRunning();

// Holds the game's lock for as long as it lives, the way the game does while it
// runs (the stand-in game and tests use it). The kernel drops the lock when the
// holder ends, however it ends. One thread at a time.
class GameLock {
 public:
  GameLock() = default;
  ~GameLock();
  GameLock(const GameLock&) = delete;
  GameLock& operator=(const GameLock&) = delete;

  // Takes the lock without waiting. False, with `error` filled, when another
  // holder has it or the lock file cannot be opened.
  [[nodiscard]] bool acquire(std::string& error);
  void release();
  [[nodiscard]] bool held() const { return fd_ >= 0; }

 private:
  std::intptr_t fd_ = -1;  // a descriptor; on Windows the mutex's handle
};

// An exclusive lock on a file, held by this object: another holder, in this
// process or any other, is refused at once. The kernel drops it when the
// holder ends, however it ends. One thread at a time.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  enum class Result { Acquired, HeldElsewhere, Failed };
  // Creates `file` when missing and locks it without waiting. Failed (with
  // `error`) when the file cannot be opened.
  [[nodiscard]] Result tryAcquire(const std::filesystem::path& file, std::string& error);
  // Deletes the lock file while still holding the lock, then releases it: a
  // process that opened the file meanwhile sees that it vanished and takes a
  // new one, so two holders never overlap.
  void removeAndRelease();
  void release();
  [[nodiscard]] bool held() const { return fd_ >= 0; }

 private:
  std::intptr_t fd_ = -1;  // a descriptor; on Windows the file's handle
  std::filesystem::path path_;
};

enum class StandardStream { Input, Output, Error };

// True when the stream is connected to a terminal (progress can redraw in place).
[[nodiscard]] bool isTerminal(StandardStream stream);


}  // namespace launcher
