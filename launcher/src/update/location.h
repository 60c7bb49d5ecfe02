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

// UTF-8 text <-> file-system path. Byte-preserving on Linux; a Windows build
// gives them their UTF-16 meaning.
[[nodiscard]] std::filesystem::path toWide(const std::string& utf8);
[[nodiscard]] std::string toUtf8(const std::filesystem::path& path);
// As toUtf8, with "/" between the names on every system (Windows' paths use
// "\"): for text that must read the same everywhere, such as locations and
// the keys of manifest paths.
[[nodiscard]] std::string toGenericUtf8(const std::filesystem::path& path);

}  // namespace launcher
