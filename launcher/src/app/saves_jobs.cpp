// Backups and restores of the saves as jobs at the front of the queue, and the
// saves summary the page shows. Every rule that keeps the saves whole lives
// in game/saves; this file only queues the bodies and reports their end.
#include "app/launcher_app.h"

#include <chrono>

namespace launcher {

SavesFolders LauncherApp::savesFolders() const { return {savesFolder(), backupsFolder()}; }

void LauncherApp::scanSaves() {
  // Scans may overlap (the game watcher's, a backup's): the one that started
  // last saw the newest folders, so an older one never replaces its result.
  uint64_t ticket;
  {
    std::lock_guard lock(mutex_);
    ticket = ++savesScansStarted_;
  }
  json summary = scanSavesSummary(savesFolders());
  std::lock_guard lock(mutex_);
  if (ticket < savesScanShown_) return;
  savesScanShown_ = ticket;
  savesSummary_ = std::move(summary);
}

void LauncherApp::backupSaves() {
  Job job;
  job.kind = backupJobKind;
  job.label = backupJobLabel;
  job.body = [this] {
    const SavesJobResult result = runSavesBackup(savesFolders(), std::chrono::system_clock::now());
    // A failed backup took its partial folder away again: the count shows that too.
    scanSaves();
    if (result.error.empty()) toast(result.toast);
    return result.error;
  };
  jobs_.enqueue(std::move(job), QueuePosition::Front);
}

void LauncherApp::restoreBackup(const std::string& name) {
  const RestoreCheck check = checkRestoreRequest(name, backupsFolder(), gameRunningNow());
  if (!check.ok) {
    toast(check.toast);
    return;
  }
  Job job;
  job.kind = restoreJobKind;
  job.target = name;
  job.label = restoreJobLabel;
  // The body checks the backup and the game again: either may have changed
  // while the job waited.
  job.body = [this, backup = check.backup] {
    const SavesJobResult result = runSavesRestore(
        savesFolders(), backup, [this] { return gameRunningNow(); }, std::chrono::system_clock::now());
    scanSaves();
    if (result.error.empty()) toast(result.toast);
    return result.error;
  };
  jobs_.enqueue(std::move(job), QueuePosition::Front);
}

}  // namespace launcher
