// The location functions over two texts (a base and a reference, split at a
// NUL byte): whatever a server's document names resolves to a server, never
// to a local file.
#include "fuzz_support.h"
#include "update/location.h"

#include <string>

using namespace launcher;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parts = fuzz::splitInput(data, size, 2);
  const std::string& base = parts[0];
  const std::string& ref = parts[1];
  (void)isHttpUrl(base);
  std::filesystem::path path;
  (void)tryFileUrlToPath(base, path);
  (void)joinLocation(base, ref);
  (void)resolveUrl(base, ref);
  (void)removeDotSegments(base);
  if (toUtf8(toWide(ref)) != ref) fuzz::violated("toWide and toUtf8 do not round-trip");
  std::string out;
  std::string error;
  const bool resolved = resolveReference(base, ref, out, error);
  if (resolved && isHttpUrl(base) && !isHttpUrl(out)) fuzz::violated("an http base resolved to a local place");
  if (!resolved && error.empty()) fuzz::violated("a refused reference says why");
  return 0;
}
