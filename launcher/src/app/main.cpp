// Process entry point.
#include "base/log.h"
#include "app/sync_command.h"
#include "base/version.h"
#include "data/paths.h"
#include "update/location.h"

int main(int argc, char** argv) {
  using namespace launcher;
  // A command-line sync leaves the log file alone: a running launcher owns it.
  if (isSyncCommand(argc, argv)) return runSyncCommand(argc, argv);
  startLog(logsFolder());
  InstallPaths paths = findInstallPaths();
  logf("info", "Launcher {} | game folder {} | dev build {} | feed {}", launcherVersion,
       toUtf8(paths.gameFolder), paths.devBuild ? "true" : "false", "");
  return 0;
}
