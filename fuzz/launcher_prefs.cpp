// launcher.json read from a file, and preferences applied as the page's
// setPrefs applies them; whatever is read serialises again.
#include "data/launcher_prefs.h"
#include "fuzz_support.h"

#include <string>

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto file = fuzz::writeScratchFile("launcher.json", data, size);
  const LauncherPrefs loaded = loadLauncherPrefsFrom(file);
  if (!isValidChannel(loaded.channel)) fuzz::violated("preferences read with an invalid channel");
  (void)launcherPrefsToJson(loaded).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const nlohmann::json doc =
      nlohmann::json::parse(reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data) + size, nullptr,
                            /*allow_exceptions=*/false);
  if (doc.is_discarded()) return 0;
  LauncherPrefs prefs = defaultLauncherPrefs();
  applyLauncherPrefsJson(prefs, doc);
  if (!isValidChannel(prefs.channel)) fuzz::violated("preferences applied with an invalid channel");
  (void)launcherPrefsToJson(prefs).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return 0;
}
