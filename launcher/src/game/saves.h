// Backups of the saves folder: dated copies in the backups folder, the newest
// 20 kept, a restore that first backs the current saves up, and the summary
// the page shows. The saves are the one thing a player can never download
// again: every step here either completes or leaves them as they were, and a
// failure is never reported as success.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace launcher {

inline constexpr size_t keptBackups = 20;
inline constexpr const char* beforeRestoreSuffix = "_before_restore";

// Both jobs go to the front of the queue; neither reports progress.
inline constexpr const char* backupJobKind = "backup";
inline constexpr const char* restoreJobKind = "restore";  // target: the name as the page sent it
inline constexpr const char* backupJobLabel = "Backing up saves";
inline constexpr const char* restoreJobLabel = "Restoring saves";
inline constexpr const char* savesBackedUpText = "Saves backed up";
inline constexpr const char* savesRestoredText = "Saves restored";
inline constexpr const char* backupGoneText = "That backup is gone";
inline constexpr const char* closeGameFirstText = "Close the game first";

struct SavesFolders {
  std::filesystem::path saves;
  std::filesystem::path backups;
};

// The saves summary of the state document: {"files", "bytes", "backups":
// [{"name", "files", "bytes"}...]}, backups newest first (names descending).
// Counts regular files through all subfolders without following links; a
// missing folder counts 0. Backups are the real folders (not links) directly
// in the backups folder. Any thread; takes no lock (the caller stores the
// result under the application mutex).
[[nodiscard]] nlohmann::json scanSavesSummary(const SavesFolders& folders);

// "YYYY-MM-DD_HHMMSS" in local time.
[[nodiscard]] std::string backupNameFor(std::chrono::system_clock::time_point when);

// True for the names the launcher gives its backups: "YYYY-MM-DD_HHMMSS",
// optionally followed by "_before_restore" and then optionally "_N" (N >= 2).
// Only such folders are ever pruned.
[[nodiscard]] bool isLauncherBackupName(const std::string& name);

struct RestoreCheck {
  bool ok = false;
  std::filesystem::path backup;  // when ok: the backup's full path, for the job
  std::string toast;             // when not ok
};

// The checks of the "restoreBackup" command: the game must not run
// (`gameRunning`: the launcher's flag or the game's lock), and `name`, reduced
// to the text after its last "/" or "\", must name a real folder (not a link)
// directly inside the backups folder. "", "." and ".." (which would name the
// backups folder or the data folder holding the saves) and names holding a NUL
// are refused with "That backup is gone". Any thread.
[[nodiscard]] RestoreCheck checkRestoreRequest(const std::string& name, const std::filesystem::path& backupsFolder,
                                               bool gameRunning);

// The result of a backup or restore job body. `error` empty means success, and
// `toast` is then the text to show; otherwise `error` is the job's failure
// text (the worker shows it as the task error and a toast).
struct SavesJobResult {
  std::string error;
  std::string toast;
};

// The backup job body (job worker thread; hold no lock): copies the saves into
// backups / backupNameFor(now), then deletes the oldest launcher-named backups
// beyond the newest 20, never the one just made (deletion failures are
// ignored). A second backup in the same second copies into the same folder.
// Failure: "Backup failed: " and the system's text; a folder this run created
// is removed again. The caller rescans the saves afterwards.
[[nodiscard]] SavesJobResult runSavesBackup(const SavesFolders& folders, std::chrono::system_clock::time_point now);

// The restore job body (job worker thread; hold no lock). Re-checks, before
// touching anything, that `gameRunning()` is false ("Close the game first")
// and that `backup` is still a real folder ("That backup is gone"): the
// backup may have been pruned, or the game started, while the job waited.
// Then copies the current saves into a new folder backupNameFor(now) +
// "_before_restore" (a taken name gets "_2", "_3", ...; an existing folder is
// never written into), empties the saves folder and copies the backup into
// it. Any failure ends the job with "Restore failed: " and the system's text;
// up to the emptying the saves are untouched, after it the safety backup
// holds them. The caller rescans the saves afterwards.
[[nodiscard]] SavesJobResult runSavesRestore(const SavesFolders& folders, const std::filesystem::path& backup,
                                             const std::function<bool()>& gameRunning,
                                             std::chrono::system_clock::time_point now);

}  // namespace launcher
