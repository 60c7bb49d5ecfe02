// The add-on commands: install or update as a job at the back of the queue,
// removal and enabling at once. The rules are addons/'s.
#include "app/launcher_app.h"

#include "addons/addon_jobs.h"
#include "platform/platform.h"

namespace launcher {

void LauncherApp::queueAddon(const std::string& id) {
  AddonJobRequest request;
  {
    std::lock_guard lock(mutex_);
    request = findCatalogEntry(catalog_, id);
  }
  if (!request.ok) {
    toast(request.toast);
    return;
  }
  Job job;
  job.kind = addonJobKind;
  job.target = id;
  job.label = request.entry.name;
  // The entry as it is now: a later catalogue refresh leaves this job alone.
  job.body = [this, entry = std::move(request.entry)] {
    const AddonJobResult result = runAddonInstall(entry, defaultAddonPaths(), jobs_.cancelFlag(),
                                                  [this](const Progress& p) { jobs_.reportProgress(p); });
    if (result.error.empty()) toast(result.toast);
    return result.error;
  };
  jobs_.enqueue(std::move(job), QueuePosition::Back);
}

void LauncherApp::removeAddon(const std::string& id) {
  bool jobQueued;
  bool flag;
  {
    std::lock_guard lock(mutex_);
    jobQueued = jobs_.isQueuedLocked(addonJobKind, id);
    flag = gameRunning_;
  }
  // Add-on jobs are queued only on this thread: none can slip in before the removal.
  const AddonRemoval removal = removeInstalledAddon(id, defaultAddonPaths(), flag || isGameRunning(), jobQueued);
  if (removal.toast.empty()) return;  // not an add-on id: nothing at all
  toast(removal.toast);
  markStateDirty();
}

void LauncherApp::setAddonEnabled(const std::string& id, bool enabled) {
  // A failed write shows as the old flag in the next state: the list is read from disk.
  (void)launcher::setAddonEnabled(id, enabled);
}

std::vector<AddonInfo> LauncherApp::listInstalledAddons() {
  return launcher::listInstalledAddons(defaultAddonPaths(), &addonScanCache_);
}

}  // namespace launcher
