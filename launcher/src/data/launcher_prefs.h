// The launcher's own preferences, data / "launcher.json". Loaded once at
// start-up, saved after each change. Used on the UI thread.
#pragma once

#include "data/json_document.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

struct LauncherPrefs {
  int32_t onPlay = 0;  // index into onPlayNames: "minimize", "close", "stay"
  bool checkForUpdates = true;
  bool autoUpdateGame = true;
  bool reduceMotion = false;
  bool onboarded = false;
  std::string channel = "stable";
  std::string launchOptions;
};

[[nodiscard]] LauncherPrefs defaultLauncherPrefs();

// Defaults overlaid with dataFolder() / "launcher.json" (no ".bad" copy).
[[nodiscard]] LauncherPrefs loadLauncherPrefs();
[[nodiscard]] LauncherPrefs loadLauncherPrefsFrom(const std::filesystem::path& file);

// Overlays an object document; wrong types, unknown on-play names and channels
// that are empty or hold "/", "\", "." or ":" are ignored.
void applyLauncherPrefsJson(LauncherPrefs& prefs, const json& document);

[[nodiscard]] json launcherPrefsToJson(const LauncherPrefs& prefs);

[[nodiscard]] bool saveLauncherPrefs(const LauncherPrefs& prefs);
[[nodiscard]] bool saveLauncherPrefsTo(const LauncherPrefs& prefs, const std::filesystem::path& file);

}  // namespace launcher
