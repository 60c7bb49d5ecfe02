#include "update/feed_places.h"

#include "base/log.h"
#include "data/json_document.h"
#include "update/feed.h"
#include "update/location.h"
#include "update/sha256.h"

#include <cstdlib>

namespace launcher {

namespace {

constexpr const char* unreadableText = "The update server sent something unreadable";

// The body of one place, no longer than the pin allows (when pinned) or
// fetchText's limit. `over` when the place sent more than the pinned size.
bool readPlace(const std::string& place, const DocumentPin& pin, std::string& body, std::string& error,
               const StopRequested& stop, const TransferLimits& limits, bool& over) {
  over = false;
  if (!pin.pinned() || !isHttpUrl(place)) {
    if (!fetchText(place, body, error, stop, limits)) return false;
    over = pin.pinned() && body.size() > pin.size;
    return !over;
  }
  uint64_t contentLength = 0;
  body.clear();
  const bool ok = httpGet(
      place,
      [&](const char* data, size_t length) {
        if (body.size() + length > pin.size) {
          over = true;
          return false;
        }
        body.append(data, length);
        return true;
      },
      contentLength, error, stop, limits);
  return ok && !over;
}

}  // namespace

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

bool fetchPinnedText(const std::vector<std::string>& places, const DocumentPin& pin, std::string& body,
                     std::string& error, const StopRequested& stop, const TransferLimits& limits) {
  body.clear();
  if (places.empty() || places.front().empty()) {
    error = "Nothing to download";
    return false;
  }
  std::string firstError;
  const size_t asked = pin.pinned() ? places.size() : 1;
  for (size_t i = 0; i < asked; ++i) {
    std::string text;
    std::string why;
    bool over = false;
    bool ok = readPlace(places[i], pin, text, why, stop, limits, over);
    if (!ok && !over && why == "Cancelled") {
      error = why;
      return false;
    }
    if (ok && pin.pinned() && (text.size() != pin.size || sha256Hex(text) != pin.sha256)) ok = false;
    if (ok) {
      body = std::move(text);
      return true;
    }
    if (over || why.empty()) why = unreadableText;
    if (asked > 1) logf("warn", "{} could not be used: {}", places[i], why);
    if (firstError.empty()) firstError = why;
  }
  error = firstError;
  return false;
}

bool loadManifestFrom(const std::vector<std::string>& places, const DocumentPin& pin, GameManifest& m,
                      std::string& error, const StopRequested& stop) {
  m.source = places.empty() ? std::string() : places.front();
  std::string text;
  if (!fetchPinnedText(places, pin, text, error, stop)) return false;
  if (!parseManifest(text, m, error)) return false;
  m.source = places.front();
  m.mirrorSources.clear();
  // A manifest from a server keeps its objects on a server.
  std::string objects;
  if (!resolveReference(m.source, m.objects, objects, error)) return false;
  for (size_t i = 1; i < places.size(); ++i) {
    // A mirror that could only name local objects is of no use for them.
    std::string ignored;
    if (resolveReference(places[i], m.objects, objects, ignored)) m.mirrorSources.push_back(places[i]);
  }
  return true;
}

}  // namespace launcher
