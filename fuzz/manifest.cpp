// A content manifest from a server: parsed, checked as a sync checks it,
// written back as an installed manifest.json and read again.
#include "fuzz_support.h"
#include "update/manifest.h"

#include <string>

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  GameManifest m;
  std::string error;
  if (!parseManifest(text, m, error)) {
    if (error.empty()) fuzz::violated("a refused manifest says why");
    return 0;
  }
  if (!checkManifestPaths(m, error)) return 0;
  // What passed the checks is safe to turn into file names.
  for (const ManifestFile& f : m.files) {
    if (!isSafeManifestPath(f.path)) fuzz::violated("checked manifest with an unsafe path");
    for (const ManifestChunk& c : chunkList(f, m.chunkSize)) {
      if (c.offset + c.size > f.size && !(f.size == 0 && c.size == 0)) fuzz::violated("chunk beyond its file");
    }
  }
  (void)manifestToJson(m).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return 0;
}
