// Locations are UTF-8 strings: an http(s) URL, a "file:" URL or a plain path.
// These functions are pure string work, no I/O, any thread.
#pragma once

#include <filesystem>
#include <string>

namespace launcher {

// True when the location begins with "http://" or "https://" (case-sensitive).
[[nodiscard]] bool isHttpUrl(const std::string& location);

// Strips "file://", and the slash after it before a drive letter (so
// file:///D:/x gives D:/x and file:///srv/x gives /srv/x), then
// percent-decodes. A "%" with fewer than two characters behind it is kept.
// Every "\" then becomes "/", so backslashes separate folders on every
// system. Returns false (leaving `out` empty) when a "%" is followed by two
// characters that are not both hex digits.
[[nodiscard]] bool tryFileUrlToPath(const std::string& location, std::filesystem::path& out);

// As tryFileUrlToPath; a bad escape gives an empty path.
[[nodiscard]] std::filesystem::path fileUrlToPath(const std::string& location);

// base + separator + rel: "/" for http(s) and "file:" bases, else "\" with
// every "/" of rel turned into "\". An empty base gives "". Nothing trimmed.
[[nodiscard]] std::string joinLocation(const std::string& base, const std::string& rel);

// The location of something that a document at `base` names by `ref`.
[[nodiscard]] std::string resolveUrl(const std::string& base, const std::string& ref);

// resolveUrl for references read from a document at `base`. A document that
// came over http(s) may name only http(s) locations or relative ones: a
// "file:" URL, a drive letter, a network share or any other scheme fails with
// "Bad address: " and the reference, so no server can point the launcher at
// local files. Documents from a local feed are trusted as the feed itself is.
[[nodiscard]] bool resolveReference(const std::string& base, const std::string& ref, std::string& out,
                                    std::string& error);

// Resolves "." and ".." path segments of a URL; empty segments survive.
[[nodiscard]] std::string removeDotSegments(const std::string& url);

// What a refused clear-text location fails with.
inline constexpr const char* httpsRequiredText = "The update server must use https";

// The host of an http(s) URL as written, lowercased: the text after "://" up
// to the first "/", "?" or "#", without user information ("user:pw@") and
// port; an IPv6 address keeps its brackets. "" when there is no "://".
[[nodiscard]] std::string urlHost(const std::string& url);

// True for a loopback address written as a literal: IPv4 in 127.0.0.0/8 as
// four decimal numbers without leading zeros, or the IPv6 "::1" (bracketed
// or not). Names are never loopback here, "localhost" included: what a name
// stands for is the resolver's (or a proxy's) answer, not the text's.
[[nodiscard]] bool isLoopbackAddress(const std::string& host);

// True when a transfer from `location` keeps clear text on this machine:
// every https URL and every local location (a path or "file:" URL), and an
// http URL only when its host is a loopback address literal. Every transport
// checks this before it sends a byte; a location it refuses fails with
// httpsRequiredText.
[[nodiscard]] bool isAllowedTransferLocation(const std::string& location);

// `location` moved from under the base `from` to under the base `to` (both
// without a trailing separator): "" when it does not lie under `from`. The
// part below the base keeps its folders whatever separator each base uses,
// as joinLocation writes them.
[[nodiscard]] std::string relocate(const std::string& location, const std::string& from, const std::string& to);

// UTF-8 text <-> file-system path. Byte-preserving on Linux; a Windows build
// gives them their UTF-16 meaning.
[[nodiscard]] std::filesystem::path toWide(const std::string& utf8);
[[nodiscard]] std::string toUtf8(const std::filesystem::path& path);
// As toUtf8, with "/" between the names on every system (Windows' paths use
// "\"): for text that must read the same everywhere, such as locations and
// the keys of manifest paths.
[[nodiscard]] std::string toGenericUtf8(const std::filesystem::path& path);

}  // namespace launcher
