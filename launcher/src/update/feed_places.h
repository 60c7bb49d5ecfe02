// Where the feed's files may come from: the feed base and, after it, the
// mirrors update.json names. Objects are pinned by their digests and
// documents by a digest and size, so any place that gives the right bytes
// will do; a place's bytes are never taken on its word.
#pragma once

#include "update/http.h"
#include "update/manifest.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher {

// update.json's "mirrors": bases holding copies of the feed, tried in order
// after the feed base. Each non-empty string of the array, trailing "/" and
// "\" removed; other members ignored. None when VANTOR_UPDATE_FEED names the
// feed: these are the mirrors of update.json's feed, not of another.
[[nodiscard]] std::vector<std::string> feedMirrors(const std::filesystem::path& launcherFolder);

// `location` itself, then the same file at each mirror when it lies under the
// feed base (relocate); a location elsewhere has no mirrors.
[[nodiscard]] std::vector<std::string> feedPlaces(const std::string& location,
                                                  const std::filesystem::path& launcherFolder);

// A document's digest (64 lowercase hex digits) and size as a signed document
// names them; an empty digest pins nothing.
struct DocumentPin {
  std::string sha256;
  uint64_t size = 0;
  [[nodiscard]] bool pinned() const { return !sha256.empty(); }
};

// The text at the first of `places` whose bytes are exactly the pinned ones:
// a place that cannot be reached, answers with an error or sends other bytes
// (no more than the pinned size plus one are read) is left for the next.
// Without a pin only the first place is asked: unpinned bytes from a mirror
// would be trusted on the mirror's word. On failure `error` is the first
// place's text, "The update server sent something unreadable" when its bytes
// were not the pinned ones, or "Cancelled" once `stop` said so.
[[nodiscard]] bool fetchPinnedText(const std::vector<std::string>& places, const DocumentPin& pin,
                                   std::string& body, std::string& error, const StopRequested& stop = {},
                                   const TransferLimits& limits = {});

// fetchPinnedText then parseManifest, as loadManifest does for one place:
// m.source is the first place (wherever the bytes came from, they are the
// same), m.mirrorSources the others, and a manifest named by an http(s)
// place whose "objects" names a local place fails with "Bad address: ".
[[nodiscard]] bool loadManifestFrom(const std::vector<std::string>& places, const DocumentPin& pin, GameManifest& m,
                                    std::string& error, const StopRequested& stop = {});

}  // namespace launcher
