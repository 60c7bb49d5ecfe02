#include "data/game_settings.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <optional>

namespace launcher {

namespace {

// Any JSON number as an int32: a fraction is cut toward zero and values beyond
// the int32 range saturate, so the later clamp always lands inside its range.
std::optional<int32_t> numberToInt32(const json& value) {
  constexpr int32_t lowest = std::numeric_limits<int32_t>::min();
  constexpr int32_t highest = std::numeric_limits<int32_t>::max();
  if (value.is_number_unsigned()) {
    uint64_t number = value.get<uint64_t>();
    return number > static_cast<uint64_t>(highest) ? highest : static_cast<int32_t>(number);
  }
  if (value.is_number_integer()) {
    return static_cast<int32_t>(std::clamp<int64_t>(value.get<int64_t>(), lowest, highest));
  }
  if (value.is_number_float()) {
    double number = value.get<double>();
    if (std::isnan(number)) return std::nullopt;
    number = std::trunc(number);
    if (number >= static_cast<double>(highest)) return highest;
    if (number <= static_cast<double>(lowest)) return lowest;
    return static_cast<int32_t>(number);
  }
  return std::nullopt;
}

// Any JSON number as the nearest float. Doubles beyond the float range become
// the largest float of their sign (converting them directly is undefined).
std::optional<float> numberToFloat(const json& value) {
  if (value.is_number_unsigned()) return static_cast<float>(value.get<uint64_t>());
  if (value.is_number_integer()) return static_cast<float>(value.get<int64_t>());
  if (value.is_number_float()) {
    double number = value.get<double>();
    if (std::isnan(number)) return std::nullopt;
    return static_cast<float>(std::clamp<double>(number, -FLT_MAX, FLT_MAX));
  }
  return std::nullopt;
}

// The first `limit` bytes, moved back to the start of a character that the cut
// would split, so valid UTF-8 stays valid.
std::string cutUtf8(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

const json* member(const json& section, const char* key) {
  auto it = section.find(key);
  return it == section.end() ? nullptr : &*it;
}

void readBool(const json& section, const char* key, bool& field) {
  const json* value = member(section, key);
  if (value && value->is_boolean()) field = value->get<bool>();
}

void readInt(const json& section, const char* key, int32_t& field) {
  const json* value = member(section, key);
  if (!value) return;
  if (auto number = numberToInt32(*value)) field = *number;
}

void readFloat(const json& section, const char* key, float& field) {
  const json* value = member(section, key);
  if (!value) return;
  if (auto number = numberToFloat(*value)) field = *number;
}

template <size_t N>
void readName(const json& section, const char* key, const std::array<std::string_view, N>& names,
              int32_t& field) {
  const json* value = member(section, key);
  if (!value || !value->is_string()) return;
  const std::string& text = value->get_ref<const std::string&>();
  for (size_t i = 0; i < N; ++i) {
    if (names[i] == text) {
      field = static_cast<int32_t>(i);
      return;
    }
  }
}

void readText(const json& section, const char* key, std::string& field) {
  const json* value = member(section, key);
  if (value && value->is_string()) field = cutUtf8(value->get_ref<const std::string&>(), maxOnlineTextBytes);
}

// A section is used only when present and an object.
const json* section(const json& document, const char* key) {
  const json* value = member(document, key);
  return value && value->is_object() ? value : nullptr;
}

void clampFloat(float& field, float lowest, float highest, float fallback) {
  // Cannot come from JSON, but a NaN would pass through std::clamp unchanged.
  if (std::isnan(field)) field = fallback;
  field = std::clamp(field, lowest, highest);
}

void clampRanges(GameSettings& s) {
  const GameSettings d;
  s.width = std::clamp<int32_t>(s.width, 640, 16384);
  s.height = std::clamp<int32_t>(s.height, 360, 16384);
  clampFloat(s.brightness, 0.25f, 2.0f, d.brightness);
  clampFloat(s.terrainDetail, 0.25f, 4.0f, d.terrainDetail);
  clampFloat(s.objectDetail, 0.25f, 4.0f, d.objectDetail);
  clampFloat(s.grassDistance, 0.0f, 400.0f, d.grassDistance);
  clampFloat(s.master, 0.0f, 1.0f, d.master);
  clampFloat(s.music, 0.0f, 1.0f, d.music);
  clampFloat(s.effects, 0.0f, 1.0f, d.effects);
  clampFloat(s.ambience, 0.0f, 1.0f, d.ambience);
}

// The double of the float, so the file shows exactly what the game will read.
json floatJson(float value) { return json(static_cast<double>(value)); }

// An index outside its table (only possible through code, never from a file)
// is written as the table's first name rather than read out of bounds.
template <size_t N>
json nameJson(const std::array<std::string_view, N>& names, int32_t index) {
  size_t i = index >= 0 && static_cast<size_t>(index) < N ? static_cast<size_t>(index) : 0;
  return json(std::string(names[i]));
}

}  // namespace

GameSettings defaultGameSettings() { return GameSettings{}; }

void applyGameSettingsJson(GameSettings& s, const json& document) {
  if (!document.is_object()) return;
  if (const json* display = section(document, "display")) {
    readName(*display, "windowMode", windowModeNames, s.windowMode);
    readInt(*display, "width", s.width);
    readInt(*display, "height", s.height);
    readBool(*display, "vsync", s.vsync);
    readName(*display, "frameGeneration", frameGenerationNames, s.frameGeneration);
    readFloat(*display, "brightness", s.brightness);
    readBool(*display, "showStats", s.showStats);
  }
  if (const json* graphics = section(document, "graphics")) {
    readName(*graphics, "upscaling", upscalingNames, s.upscaling);
    readBool(*graphics, "rayTracing", s.rayTracing);
    readBool(*graphics, "globalIllumination", s.globalIllumination);
    readBool(*graphics, "rayReconstruction", s.rayReconstruction);
    readBool(*graphics, "volumetricClouds", s.volumetricClouds);
    readBool(*graphics, "volumetricFog", s.volumetricFog);
    readBool(*graphics, "godRays", s.godRays);
    readBool(*graphics, "bloom", s.bloom);
    readBool(*graphics, "motionBlur", s.motionBlur);
    readBool(*graphics, "depthOfField", s.depthOfField);
    readFloat(*graphics, "terrainDetail", s.terrainDetail);
    readFloat(*graphics, "objectDetail", s.objectDetail);
    readFloat(*graphics, "grassDistance", s.grassDistance);
  }
  if (const json* audio = section(document, "audio")) {
    readFloat(*audio, "master", s.master);
    readFloat(*audio, "music", s.music);
    readFloat(*audio, "effects", s.effects);
    readFloat(*audio, "ambience", s.ambience);
    readBool(*audio, "musicMuted", s.musicMuted);
    readBool(*audio, "effectsMuted", s.effectsMuted);
  }
  if (const json* online = section(document, "online")) {
    readBool(*online, "enabled", s.online.enabled);
    readText(*online, "name", s.online.name);
    readText(*online, "server", s.online.server);
  }
  clampRanges(s);
}

json gameSettingsToJson(const GameSettings& s) {
  json display = {
      {"windowMode", nameJson(windowModeNames, s.windowMode)},
      {"width", s.width},
      {"height", s.height},
      {"vsync", s.vsync},
      {"frameGeneration", nameJson(frameGenerationNames, s.frameGeneration)},
      {"brightness", floatJson(s.brightness)},
      {"showStats", s.showStats},
  };
  json graphics = {
      {"upscaling", nameJson(upscalingNames, s.upscaling)},
      {"rayTracing", s.rayTracing},
      {"globalIllumination", s.globalIllumination},
      {"rayReconstruction", s.rayReconstruction},
      {"volumetricClouds", s.volumetricClouds},
      {"volumetricFog", s.volumetricFog},
      {"godRays", s.godRays},
      {"bloom", s.bloom},
      {"motionBlur", s.motionBlur},
      {"depthOfField", s.depthOfField},
      {"terrainDetail", floatJson(s.terrainDetail)},
      {"objectDetail", floatJson(s.objectDetail)},
      {"grassDistance", floatJson(s.grassDistance)},
  };
  json audio = {
      {"master", floatJson(s.master)},
      {"music", floatJson(s.music)},
      {"effects", floatJson(s.effects)},
      {"ambience", floatJson(s.ambience)},
      {"musicMuted", s.musicMuted},
      {"effectsMuted", s.effectsMuted},
  };
  json online = {
      {"enabled", s.online.enabled},
      {"name", s.online.name},
      {"server", s.online.server},
  };
  json document = json::object();
  document["version"] = 1;
  document["display"] = std::move(display);
  document["graphics"] = std::move(graphics);
  document["audio"] = std::move(audio);
  document["online"] = std::move(online);
  return document;
}

GameSettings loadGameSettings(const std::filesystem::path& file) {
  GameSettings settings = defaultGameSettings();
  json document = readJsonDocument(file, DocumentKind::Settings);
  if (document.is_object()) applyGameSettingsJson(settings, document);
  return settings;
}

bool saveGameSettings(const GameSettings& settings, const std::filesystem::path& file) {
  return writeJsonDocument(file, gameSettingsToJson(settings), DocumentKind::Settings);
}

void resetGameSettings(GameSettings& settings) {
  OnlineSettings online = std::move(settings.online);
  settings = defaultGameSettings();
  settings.online = std::move(online);
}

}  // namespace launcher
