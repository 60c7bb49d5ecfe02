// The add-on catalogue, read through fetchText's local branch as a feed in a
// folder is; every entry it keeps has a valid id and a manifest location.
#include "fuzz_support.h"
#include "update/feed.h"

#include <string>
#include <vector>

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file = fuzz::writeScratchFile("catalog.json", data, size).string();
  std::vector<CatalogEntry> entries;
  std::string error;
  if (!fetchCatalog(file, entries, error)) {
    if (error.empty() || !entries.empty()) fuzz::violated("a refused catalogue says why and keeps nothing");
    return 0;
  }
  for (const CatalogEntry& e : entries) {
    if (!isValidAddonId(e.id) || e.manifest.empty()) fuzz::violated("catalogue entry without a valid id or manifest");
  }
  return 0;
}
