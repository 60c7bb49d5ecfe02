// Which keys the launcher trusts for its update server's documents
// (latest.json, the add-on catalogue), and the checks a document passes
// before anything it names is used: its signature by a trusted key, its
// "expires", and its "serial" against the highest this launcher has seen.
// With no key trusted the documents are read as they come, unchecked.
// Any thread.
#pragma once

#include "update/http.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace launcher {

inline constexpr const char* unsignedAnswerText = "The update server's answer isn't signed";
inline constexpr const char* expiredAnswerText = "The update server's answer has expired";
inline constexpr const char* olderReleaseText = "The update server sent an older release than this launcher has seen";

struct FeedTrust {
  // True when any key is configured, even one that cannot be read: every
  // document must then verify (a key that cannot be read verifies nothing),
  // so a typing error in a key never turns the checks off.
  bool required = false;
  std::vector<std::string> keys;  // decoded points, 65 bytes each
  // Where the highest serials are kept (feed_serials.h); empty: not kept,
  // so serials are not compared (tests of other things).
  std::filesystem::path serialsFile;
};

// The keys built in (CMake -DVANTOR_FEED_KEYS, comma-separated), update.json's
// "feedKeys" in `launcherFolder` (an array of strings) and VANTOR_FEED_KEYS
// (comma-separated), all trusted alike. Whoever can change these can already
// point the launcher at another feed. A key text that cannot be decoded gets
// a "warn" line.
[[nodiscard]] FeedTrust loadFeedTrust(const std::filesystem::path& launcherFolder,
                                      const std::filesystem::path& serialsFile);

// The same from its sources: `builtIn` and `environment` comma-separated,
// `config` the parsed update.json (any value).
[[nodiscard]] FeedTrust feedTrustFrom(const std::string& builtIn, const nlohmann::json& config,
                                      const std::string& environment);

// Seconds since 1970-01-01T00:00:00Z of an RFC 3339 date-time
// ("2025-01-31T12:00:00Z"; fractions of a second and offsets such as "+02:00"
// allowed). False for anything else.
[[nodiscard]] bool parseRfc3339(const std::string& text, int64_t& seconds);

// True unless `expires` is an RFC 3339 date-time later than `now`.
[[nodiscard]] bool hasExpired(const std::string& expires, int64_t now);

// The system clock in seconds since 1970 (UTC).
[[nodiscard]] int64_t unixNow();

// What a document fetched through fetchSignedDocument says of itself.
struct SignedDocument {
  bool verified = false;  // signed by a trusted key, not expired, not older
  uint64_t serial = 0;
  std::string expires;
};

// Fetches `url` into `body` with the small-document limits and `stop`. When
// `trust.required` it then fetches url + ".sig" the same way (at most 1 KiB)
// and refuses, in this order: a missing or non-verifying signature
// (unsignedAnswerText), an "expires" that is missing or past
// (expiredAnswerText), a "serial" below the highest accepted for `url`
// (olderReleaseText); an accepted serial is kept. A signature that does not
// match is fetched once more with its document, since a publish replaces the
// two files one after the other. On failure `body` is empty.
[[nodiscard]] bool fetchSignedDocument(const std::string& url, const FeedTrust& trust, std::string& body,
                                       SignedDocument& info, std::string& error, const StopRequested& stop = {});

}  // namespace launcher
