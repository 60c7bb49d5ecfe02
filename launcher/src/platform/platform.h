// What the core needs of the operating system. Declarations only: the build
// picks one implementation folder (platform/linux/ today). Nothing outside
// platform/ and shell/ includes a system header.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

// Name of the game program inside the game folder.
inline constexpr const char* gameExecutableName = "Vantor";
// Name of the uninstaller beside the launcher.
inline constexpr const char* uninstallerName = "uninstall";

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
// else /tmp/vantor-<uid>), created with mode 0700 when missing.
[[nodiscard]] std::filesystem::path runtimeFolder();

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
  int fd_ = -1;
};

enum class StandardStream { Input, Output, Error };

// True when the stream is connected to a terminal (progress can redraw in place).
[[nodiscard]] bool isTerminal(StandardStream stream);

}  // namespace launcher
