// Process entry point.
#include "app/log.h"
#include "app/version.h"
#include "data/paths.h"
#include "update/location.h"

int main(int, char**) {
  using namespace launcher;
  startLog();
  InstallPaths paths = findInstallPaths();
  logf("info", "Launcher {} | game folder {} | dev build {} | feed {}", launcherVersion,
       toUtf8(paths.gameFolder), paths.devBuild ? "true" : "false", "");
  return 0;
}
