#include "data/launcher_prefs.h"

#include "data/paths.h"

#include <algorithm>

namespace launcher {

namespace fs = std::filesystem;

namespace {

fs::path prefsPath() { return dataFolder() / "launcher.json"; }

void readBool(const json& document, const char* key, bool& field) {
  auto it = document.find(key);
  if (it != document.end() && it->is_boolean()) field = it->get<bool>();
}

const std::string* readString(const json& document, const char* key) {
  auto it = document.find(key);
  return it != document.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

}  // namespace

LauncherPrefs defaultLauncherPrefs() { return LauncherPrefs{}; }

bool isValidChannel(std::string_view channel) {
  if (channel.empty() || channel.size() > maxChannelLength || channel == ".") return false;
  if (channel.find("..") != std::string_view::npos) return false;
  for (char c : channel) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                         c == '_' || c == '.';
    if (!allowed) return false;
  }
  return true;
}

void applyLauncherPrefsJson(LauncherPrefs& prefs, const json& document) {
  if (!document.is_object()) return;
  if (const std::string* name = readString(document, "onPlay")) {
    for (size_t i = 0; i < onPlayNames.size(); ++i) {
      if (onPlayNames[i] == *name) {
        prefs.onPlay = static_cast<int32_t>(i);
        break;
      }
    }
  }
  readBool(document, "checkForUpdates", prefs.checkForUpdates);
  readBool(document, "autoUpdateGame", prefs.autoUpdateGame);
  readBool(document, "reduceMotion", prefs.reduceMotion);
  if (const std::string* channel = readString(document, "channel")) {
    if (isValidChannel(*channel)) prefs.channel = *channel;
  }
  if (const std::string* options = readString(document, "launchOptions")) prefs.launchOptions = *options;
  readBool(document, "onboarded", prefs.onboarded);
  auto limit = document.find("downloadLimit");
  if (limit != document.end() && limit->is_number_integer() && !limit->is_number_float()) {
    // Signed and unsigned numbers alike; a negative one is ignored.
    const int64_t value = limit->is_number_unsigned() ? static_cast<int64_t>(std::min<uint64_t>(
                                                            limit->get<uint64_t>(), uint64_t{maxDownloadLimit} + 1))
                                                      : limit->get<int64_t>();
    if (value >= 0 && value <= maxDownloadLimit) prefs.downloadLimit = static_cast<uint32_t>(value);
  }
}

json launcherPrefsToJson(const LauncherPrefs& prefs) {
  // An index outside the table can only come from code; write the default name.
  size_t onPlay = prefs.onPlay >= 0 && static_cast<size_t>(prefs.onPlay) < onPlayNames.size()
                      ? static_cast<size_t>(prefs.onPlay)
                      : 0;
  json document = json::object();
  document["onPlay"] = std::string(onPlayNames[onPlay]);
  document["checkForUpdates"] = prefs.checkForUpdates;
  document["autoUpdateGame"] = prefs.autoUpdateGame;
  document["reduceMotion"] = prefs.reduceMotion;
  document["onboarded"] = prefs.onboarded;
  document["channel"] = prefs.channel;
  document["launchOptions"] = prefs.launchOptions;
  document["downloadLimit"] = prefs.downloadLimit;
  return document;
}

LauncherPrefs loadLauncherPrefsFrom(const fs::path& file) {
  LauncherPrefs prefs = defaultLauncherPrefs();
  json document = readJsonDocument(file, DocumentKind::Plain);
  if (document.is_object()) applyLauncherPrefsJson(prefs, document);
  return prefs;
}

LauncherPrefs loadLauncherPrefs() { return loadLauncherPrefsFrom(prefsPath()); }

bool saveLauncherPrefsTo(const LauncherPrefs& prefs, const fs::path& file) {
  return writeJsonDocument(file, launcherPrefsToJson(prefs), DocumentKind::Plain);
}

bool saveLauncherPrefs(const LauncherPrefs& prefs) { return saveLauncherPrefsTo(prefs, prefsPath()); }

}  // namespace launcher
