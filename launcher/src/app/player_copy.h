// A launcher installed by a package (or `cmake --install`) sits in a folder
// the player cannot write, so it could never update itself. Its first start
// makes the player's own copy in the data folder, in "installed" mode with
// the package's update.json and install.json, and hands over to it; later
// starts go straight there. A newer package refreshes an older copy; a copy
// that updated itself past the package is left alone. Start-up only.
#pragma once

#include <filesystem>
#include <string>

namespace launcher {

// The package's records beside an installed executable:
// executableFolder/../share/vantor-launcher, when it holds update.json.
[[nodiscard]] bool findPackageShare(const std::filesystem::path& executableFolder, std::filesystem::path& share);

// dataFolder() / "launcher": the copy, its game folder and its web view data.
[[nodiscard]] std::filesystem::path playerCopyFolder();
// playerCopyFolder() / "vantor-launcher".
[[nodiscard]] std::filesystem::path playerCopyExecutable();

enum class CopyState {
  Current,    // the copy was there and is as new as the package, or newer
  Created,    // made now: its first start is a first run
  Refreshed,  // an older copy was replaced by the package's build
  Failed,     // see `error`; nothing usable was left half-made
};

// Makes sure the player's copy of `packagedExecutable` exists (see above).
// The executable is copied through a ".tmp" companion and renamed into place,
// so a copy never runs half-written.
[[nodiscard]] CopyState preparePlayerCopy(const std::filesystem::path& packagedExecutable,
                                          const std::filesystem::path& share, std::string& error);

// The player's copy notes its own version at every start (version.json in
// its folder), so that a package upgrade can tell whether it is older.
void recordCopyVersion(const std::filesystem::path& folder);

}  // namespace launcher
