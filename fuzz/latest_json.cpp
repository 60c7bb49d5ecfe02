// A channel's latest.json as the update check reads it, and the references
// in it resolved as the jobs resolve them.
#include "fuzz_support.h"
#include "update/feed.h"
#include "update/location.h"

#include <string>

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string url = "https://updates.example/stable/latest.json";
  const Feed feed = parseFeed(url, text);
  if (!feed.ok) {
    if (feed.error.empty()) fuzz::violated("a refused feed says why");
    return 0;
  }
  for (const std::string* ref : {&feed.gameManifest, &feed.launcherUrl}) {
    std::string out;
    std::string error;
    // A document from a server never names a local file.
    if (resolveReference(url, *ref, out, error) && !out.empty() && !isHttpUrl(out)) {
      fuzz::violated("a server's latest.json resolved to a local place");
    }
  }
  (void)compareVersions(feed.gameVersion, static_cast<uint32_t>(feed.gameBuild), feed.launcherVersion, 0);
  return 0;
}
