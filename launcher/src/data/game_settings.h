// The game's settings.json, shared with the game: the in-memory record, its
// defaults, the tolerant overlay applied to every read, and the file form.
// Used on the UI thread.
#pragma once

#include "data/json_document.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace launcher {

struct OnlineSettings {
  bool enabled = false;
  std::string name;    // at most 256 bytes, valid UTF-8
  std::string server;  // at most 256 bytes, valid UTF-8
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
};

[[nodiscard]] GameSettings defaultGameSettings();

// Defaults overlaid with the file (a damaged file is copied to ".bad").
[[nodiscard]] GameSettings loadGameSettings(const std::filesystem::path& file);

// Overlays an object document: absent or wrongly typed members leave their
// field unchanged; ranged fields are clamped afterwards. A non-object changes
// nothing.
void applyGameSettingsJson(GameSettings& settings, const json& document);

[[nodiscard]] json gameSettingsToJson(const GameSettings& settings);

// Saves through the settings variant of writeJsonDocument.
[[nodiscard]] bool saveGameSettings(const GameSettings& settings, const std::filesystem::path& file);

// Display, graphics and audio back to their defaults; online kept.
void resetGameSettings(GameSettings& settings);

}  // namespace launcher
