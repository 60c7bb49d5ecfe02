// The launcher's own preferences, data / "launcher.json". Loaded once at
// start-up, saved after each change. Used on the UI thread.
#pragma once

#include "data/json_document.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace launcher {

// What the window does once the game has started (index = position).
inline constexpr std::array<std::string_view, 3> onPlayNames{"minimize", "close", "stay"};

struct LauncherPrefs {
  int32_t onPlay = 0;  // index into onPlayNames: "minimize", "close", "stay"
  bool checkForUpdates = true;
  bool autoUpdateGame = true;
  bool reduceMotion = false;
  bool onboarded = false;
  std::string channel = "stable";
  std::string launchOptions;
  // The download speed limit in KiB/s for every content download; 0: none.
  uint32_t downloadLimit = 0;

  bool operator==(const LauncherPrefs&) const = default;
};

[[nodiscard]] LauncherPrefs defaultLauncherPrefs();

// Defaults overlaid with dataFolder() / "launcher.json" (no ".bad" copy).
[[nodiscard]] LauncherPrefs loadLauncherPrefs();
[[nodiscard]] LauncherPrefs loadLauncherPrefsFrom(const std::filesystem::path& file);

inline constexpr size_t maxChannelLength = 64;

// The channel rule: 1 to 64 ASCII letters, digits, "-", "_" and ".", but not
// "." and no "..", so that it names one folder inside the feed's and reads
// the same in a URL and a path.
[[nodiscard]] bool isValidChannel(std::string_view channel);

// The largest download limit taken (KiB/s, about 10 GB/s); larger numbers
// are ignored like a wrong type.
inline constexpr uint32_t maxDownloadLimit = 10'000'000;

// Overlays an object document; wrong types, unknown on-play names, channels
// that break the channel rule, and download limits that are not whole numbers
// from 0 to maxDownloadLimit are ignored.
void applyLauncherPrefsJson(LauncherPrefs& prefs, const json& document);

// Exactly the eight keys, "onPlay" as its name. Also the state's "prefs".
[[nodiscard]] json launcherPrefsToJson(const LauncherPrefs& prefs);

// Saves to dataFolder() / "launcher.json" (or the given file). True when the
// file was replaced; callers may ignore it, the preferences in memory stay.
[[nodiscard]] bool saveLauncherPrefs(const LauncherPrefs& prefs);
[[nodiscard]] bool saveLauncherPrefsTo(const LauncherPrefs& prefs, const std::filesystem::path& file);

}  // namespace launcher
