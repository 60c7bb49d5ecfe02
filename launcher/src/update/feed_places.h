// Where the feed's files may come from: the feed base and, after it, the
// mirrors update.json names. Objects are pinned by their digests and
// documents by a digest and size, so any place that gives the right bytes
// will do; a place's bytes are never taken on its word.
#pragma once

#include "update/http.h"
#include "update/manifest.h"

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

// The manifest from the first of `places` that gives it exactly as pinned
// (loadManifest with `pin`); a place that cannot be reached, answers with an
// error or sends other bytes is left for the next, with a "warn" line.
// Without a pinned digest only the first place is asked: unpinned bytes from
// a mirror would be trusted on the mirror's word. m.source is the first place
// (wherever the bytes came from, they are the same) and m.mirrorSources the
// others, for the objects. On failure `error` is the first place's text, or
// "Cancelled" once `stop` said so. Each place is read within `limits`.
[[nodiscard]] bool loadManifestFrom(const std::vector<std::string>& places, const DocumentPin& pin, GameManifest& m,
                                    std::string& error, const StopRequested& stop = {},
                                    const TransferLimits& limits = manifestDocumentLimits);

}  // namespace launcher
