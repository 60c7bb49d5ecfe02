// addons.json, the enabled add-on list: only valid ids come out.
#include "addons/addon_registry.h"
#include "fuzz_support.h"

#include <string>
#include <vector>

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto file = fuzz::writeScratchFile("addons.json", data, size);
  for (const std::string& id : readEnabledAddons(file)) {
    if (!isValidAddonId(id)) fuzz::violated("an invalid id in the enabled list");
  }
  return 0;
}
