// The game's settings.json, shared with the game: the in-memory record, its
// defaults, the tolerant overlay applied to every read, and the file form.
// Used on the UI thread.
#pragma once

#include "data/json_document.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace launcher {

// The names the file holds for the index fields (index = position).
inline constexpr std::array<std::string_view, 2> windowModeNames{"windowed", "borderless"};
inline constexpr std::array<std::string_view, 4> frameGenerationNames{"off", "2x", "3x", "4x"};
inline constexpr std::array<std::string_view, 8> upscalingNames{
    "dlss_quality", "dlss_balanced", "dlss_performance", "dlss_ultra_performance",
    "dlaa",         "taa",           "fxaa",             "off"};

// online.name and online.server keep at most this many bytes.
inline constexpr size_t maxOnlineTextBytes = 256;

struct OnlineSettings {
  bool enabled = false;
  std::string name;    // at most 256 bytes, valid UTF-8
  std::string server;  // at most 256 bytes, valid UTF-8

  bool operator==(const OnlineSettings&) const = default;
};

struct GameSettings {
  int32_t windowMode = 0;  // index into windowModeNames
  int32_t width = 1600;
  int32_t height = 900;
  bool vsync = false;
  int32_t frameGeneration = 0;  // index into frameGenerationNames
  float brightness = 1.0f;
  bool showStats = true;

  int32_t upscaling = 0;  // index into upscalingNames
  bool rayTracing = true;
  bool globalIllumination = true;
  bool rayReconstruction = true;
  bool volumetricClouds = true;
  bool volumetricFog = true;
  bool godRays = true;
  bool bloom = true;
  bool motionBlur = true;
  bool depthOfField = true;
  float terrainDetail = 1.0f;
  float objectDetail = 1.0f;
  float grassDistance = 170.0f;

  float master = 1.0f;
  float music = 0.5f;
  float effects = 1.0f;
  float ambience = 1.0f;
  bool musicMuted = false;
  bool effectsMuted = false;

  OnlineSettings online;

  bool operator==(const GameSettings&) const = default;
};

[[nodiscard]] GameSettings defaultGameSettings();

// Defaults overlaid with the file (a damaged file is copied to ".bad").
[[nodiscard]] GameSettings loadGameSettings(const std::filesystem::path& file);

// Overlays an object document: sections that are not objects are skipped;
// absent or wrongly typed members leave their field unchanged (booleans only
// from JSON booleans, integers from any number cut toward zero, names only
// exact table names, online texts only from strings, cut to 256 bytes on a
// character boundary). The ten ranged fields are clamped afterwards. A
// non-object changes nothing, not even the clamping.
void applyGameSettingsJson(GameSettings& settings, const json& document);

// The file form: "version" 1 and all four sections with every member. Floats
// are written as the double of the 32-bit float (0.8f -> 0.800000011920929).
// Also the state document's "settings".
[[nodiscard]] json gameSettingsToJson(const GameSettings& settings);

// Saves through the settings variant of writeJsonDocument (folder created,
// nothing renamed after a failed write). False when the file was not replaced.
[[nodiscard]] bool saveGameSettings(const GameSettings& settings, const std::filesystem::path& file);

// Display, graphics and audio back to their defaults; online kept.
void resetGameSettings(GameSettings& settings);

}  // namespace launcher
