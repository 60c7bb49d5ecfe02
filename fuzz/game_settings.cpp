// settings.json, which the game writes too: read from a file as at start-up
// (damaged files copied aside), and applied over the defaults as a page's
// setSettings is; whatever is read serialises again.
#include "data/game_settings.h"
#include "fuzz_support.h"

#include <string>

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto file = fuzz::writeScratchFile("settings.json", data, size);
  GameSettings loaded = loadGameSettings(file);
  (void)gameSettingsToJson(loaded).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const nlohmann::json doc =
      nlohmann::json::parse(reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data) + size, nullptr,
                            /*allow_exceptions=*/false);
  if (doc.is_discarded()) return 0;
  GameSettings settings = defaultGameSettings();
  applyGameSettingsJson(settings, doc);
  (void)gameSettingsToJson(settings).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return 0;
}
