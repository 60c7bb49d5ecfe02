#include "update/feed_places.h"

#include "base/log.h"
#include "data/json_document.h"
#include "update/feed.h"
#include "update/location.h"
#include "update/sha256.h"

#include <cstdlib>

namespace launcher {

std::vector<std::string> feedMirrors(const std::filesystem::path& launcherFolder) {
  std::vector<std::string> mirrors;
  if (const char* env = std::getenv("VANTOR_UPDATE_FEED"); env && *env) return mirrors;
  const json config = readJsonDocument(launcherFolder / "update.json");
  if (!config.is_object()) return mirrors;
  auto it = config.find("mirrors");
  if (it == config.end() || !it->is_array()) return mirrors;
  for (const json& entry : *it) {
    if (!entry.is_string()) continue;
    std::string base = entry.get<std::string>();
    while (!base.empty() && (base.back() == '/' || base.back() == '\\')) base.pop_back();
    if (!base.empty()) mirrors.push_back(std::move(base));
  }
  return mirrors;
}

std::vector<std::string> feedPlaces(const std::string& location, const std::filesystem::path& launcherFolder) {
  std::vector<std::string> places{location};
  const std::string base = feedBaseUrl(launcherFolder);
  for (const std::string& mirror : feedMirrors(launcherFolder)) {
    std::string moved = relocate(location, base, mirror);
    if (!moved.empty()) places.push_back(std::move(moved));
  }
  return places;
}

bool loadManifestFrom(const std::vector<std::string>& places, const DocumentPin& pin, GameManifest& m,
                      std::string& error, const StopRequested& stop, const TransferLimits& limits) {
  if (places.empty()) {
    error = "Nothing to download";
    return false;
  }
  const size_t asked = isValidDigest(pin.sha256) ? places.size() : 1;
  std::string firstError;
  for (size_t i = 0; i < asked; ++i) {
    std::string why;
    if (loadManifest(places[i], pin, m, why, stop, limits)) {
      m.source = places.front();
      m.mirrorSources.clear();
      for (size_t k = 1; k < places.size(); ++k) {
        // A mirror that could only name local objects is of no use for them.
        std::string objects;
        std::string ignored;
        if (resolveReference(places[k], m.objects, objects, ignored)) m.mirrorSources.push_back(places[k]);
      }
      return true;
    }
    if (why == "Cancelled") {
      error = why;
      return false;
    }
    if (asked > 1) logf("warn", "{} could not be used: {}", places[i], why);
    if (firstError.empty()) firstError = why;
  }
  m.source = places.front();
  error = firstError;
  return false;
}

}  // namespace launcher
