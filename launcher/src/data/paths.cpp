#include "data/paths.h"

#include "data/json_document.h"
#include "platform/platform.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

// Any error (no rights, a bad path) counts as absence.
bool existsQuietly(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec) && !ec;
}

fs::path ensured(fs::path folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  return folder;
}

}  // namespace

InstallPaths probeInstallPaths(const fs::path& launcherFolder) {
  InstallPaths paths;
  paths.launcherFolder = launcherFolder;
  paths.devBuild = existsQuietly(launcherFolder / gameExecutableName) && !existsQuietly(launcherFolder / "game");
  paths.gameFolder = paths.devBuild ? launcherFolder : launcherFolder / "game";
  paths.gameExecutable = paths.gameFolder / gameExecutableName;
  paths.installed = existsQuietly(launcherFolder / "update.json") || existsQuietly(launcherFolder / "install.json");
  return paths;
}

InstallPaths findInstallPaths() {
  fs::path exe = executablePath();
  return probeInstallPaths(exe.parent_path());
}

std::string installMode(const InstallPaths& paths) {
  if (paths.devBuild) return "dev";
  if (paths.installed) return "installed";
  return "portable";
}

namespace {

// Neither XDG_DATA_HOME nor HOME: a folder in the temporary folder, where
// every local user may create names.
fs::path fallbackDataFolder() { return tempFolder() / "Vantor"; }

}  // namespace

fs::path dataFolder() {
  const fs::path base = localAppDataFolder();
  if (!base.empty()) return ensured(base / "Vantor");
  const fs::path folder = fallbackDataFolder();
  std::string ignored;
  (void)ensurePrivateFolder(folder, "data folder", ignored);  // created 0700 when missing
  return folder;
}

bool checkDataFolder(std::string& error) {
  if (!localAppDataFolder().empty()) return true;
  return ensurePrivateFolder(fallbackDataFolder(), "data folder", error);
}

fs::path logsFolder() { return ensured(dataFolder() / "logs"); }
fs::path backupsFolder() { return ensured(dataFolder() / "backups"); }
fs::path addonsFolder() { return ensured(dataFolder() / "addons"); }

fs::path savesFolder() {
  fs::path base = savedGamesFolder();
  return ensured(base.empty() ? dataFolder() / "saves" : base / "Vantor");
}

fs::path settingsPath() { return dataFolder() / "settings.json"; }

std::string readInstallInfo(const fs::path& launcherFolder) {
  json document = readJsonDocument(launcherFolder / "install.json");
  if (!document.is_object()) return {};
  auto ref = document.find("ref");
  if (ref == document.end() || !ref->is_string()) return {};
  return ref->get<std::string>();
}

}  // namespace launcher
