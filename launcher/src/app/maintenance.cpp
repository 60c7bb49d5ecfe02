// The data page's small operations: the shader cache, the launcher's
// folders, and the uninstaller. They run at once on the UI thread.
#include "app/launcher_app.h"

#include "base/log.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "update/location.h"

namespace launcher {

namespace fs = std::filesystem;

void LauncherApp::clearCache() {
  if (gameRunningNow()) {
    toast("Close the game first");
    return;
  }
  const fs::path cache = dataFolder() / "cache";
  std::error_code ec;
  fs::create_directories(cache, ec);
  // Entries in use stay; the game rebuilds whatever is missing. A listing
  // that fails part-way ends the clearing with the same message.
  fs::directory_iterator it(cache, ec);
  for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
    std::error_code entryError;
    fs::remove_all(it->path(), entryError);
  }
  toast("Shader cache cleared: the next start rebuilds it");
}

void LauncherApp::openFolder(const std::string& which) {
  fs::path folder;
  if (which == "saves") {
    folder = savesFolder();
  } else if (which == "logs") {
    folder = logsFolder();
  } else if (which == "game") {
    folder = paths_.gameFolder;
  } else if (which == "backups") {
    folder = backupsFolder();
  } else if (which == "addons") {
    folder = addonsFolder();
  } else {
    folder = dataFolder();
  }
  std::error_code ec;
  fs::create_directories(folder, ec);
  std::string error;
  if (!openWithSystem(toUtf8(folder), error)) logf("warn", "Couldn't open {}: {}", toUtf8(folder), error);
}

void LauncherApp::uninstall() {
  if (gameRunningNow()) {
    toast("Close the game first");
    return;
  }
  static constexpr const char* notInstalled =
      "This copy wasn't installed with VantorSetup, so there's nothing to uninstall";
  const fs::path uninstaller = paths_.launcherFolder / uninstallerName;
  std::error_code ec;
  if (!fs::is_regular_file(uninstaller, ec)) {
    toast(notInstalled);
    return;
  }
  std::string error;
  SpawnOptions options;
  options.workingFolder = paths_.launcherFolder;
  // It removes the launcher's files, so it must outlive the launcher.
  options.newSession = true;
  if (!spawnDetached({toUtf8(uninstaller)}, options, error)) {
    logf("warn", "Couldn't start the uninstaller: {}", error);
    toast(notInstalled);
    return;
  }
  closeWindowLater();
}

}  // namespace launcher
