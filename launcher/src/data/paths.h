// Every file and folder the launcher uses, derived from three roots: the
// launcher's own folder, the per-user data folder and the saved-games folder.
// The folder functions keep no state and may run on any thread at once.
#pragma once

#include <filesystem>
#include <string>

namespace launcher {

struct InstallPaths {
  std::filesystem::path launcherFolder;  // folder of the running executable
  std::filesystem::path gameFolder;      // launcher folder, or launcher folder / "game"
  std::filesystem::path gameExecutable;  // gameFolder / gameExecutableName
  bool devBuild = false;   // the game's executable sits beside the launcher, no "game" folder
  bool installed = false;  // "update.json" or "install.json" beside the launcher
};

// The start-up probe of the running executable's folder.
[[nodiscard]] InstallPaths findInstallPaths();

// The probe for a given launcher folder; findInstallPaths uses it with the
// executable's folder. Existence tests treat any error as absence.
[[nodiscard]] InstallPaths probeInstallPaths(const std::filesystem::path& launcherFolder);

// "dev", "installed" or "portable".
[[nodiscard]] std::string installMode(const InstallPaths& paths);

// Each returns its folder and creates it (with parents) on every call. A folder
// that cannot be created is returned all the same; its user then fails in its
// own words.
[[nodiscard]] std::filesystem::path dataFolder();     // local app data / "Vantor" (else temp / "Vantor", 0700)
[[nodiscard]] std::filesystem::path logsFolder();     // data / "logs"
[[nodiscard]] std::filesystem::path backupsFolder();  // data / "backups"
[[nodiscard]] std::filesystem::path addonsFolder();   // data / "addons"
[[nodiscard]] std::filesystem::path savesFolder();    // saved games / "Vantor" (else data / "saves")

// True when the data folder may be used. Under XDG_DATA_HOME or HOME it
// always may. The fallback in the temporary folder, where every local user can
// create names, only when it is a folder (not a link) of this user with mode
// 0700; it is created so when missing. False with the reason otherwise:
// start-up then refuses to run, since another user could read or plant the
// launcher's files there.
[[nodiscard]] bool checkDataFolder(std::string& error);

// data / "settings.json"; creates the data folder but not the file.
[[nodiscard]] std::filesystem::path settingsPath();

// The "ref" string of launcherFolder / "install.json", or "" when the file is
// missing, damaged, not an object, or its "ref" is not a string.
[[nodiscard]] std::string readInstallInfo(const std::filesystem::path& launcherFolder);

}  // namespace launcher
