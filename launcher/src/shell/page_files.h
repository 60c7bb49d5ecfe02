// The page's files as the launcher serves them: from the table embedded at
// build time, or from the folder named by VANTOR_LAUNCHER_UI. Pure functions,
// shared by the web view's scheme handler and the browser-mode server; any
// thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace launcher {

// The page's origin in the web view. Every page file lives under it.
inline constexpr std::string_view pageOrigin = "vantor://launcher/";
// Where the web view starts. The page's starfield draws at most 30 frames a
// second there ("fps"): WebKitGTK paints it without the GPU, and every frame of
// 60 cost about 60 % of a core where 30 cost about 27 % (bench/shell). The
// motion is timed by the clock, so it looks the same, only less often drawn.
inline constexpr std::string_view pageStartUrl = "vantor://launcher/index.html?fps=30";

struct EmbeddedFile {
  const char* path;         // e.g. "fonts/manrope.woff2"
  const char* contentType;  // e.g. "font/woff2"
  const unsigned char* data;
  std::size_t size;
};

// The files of launcher/page/ present at build time (generated).
[[nodiscard]] std::span<const EmbeddedFile> embeddedPageFiles();
// The window icon, a PNG (generated).
[[nodiscard]] std::string_view embeddedIconPng();

// The embedded file at `path` (letter case ignored), or null.
[[nodiscard]] const EmbeddedFile* findEmbeddedFile(std::span<const EmbeddedFile> files, std::string_view path);

// The content type of a page file by its extension (letter case ignored), or
// "" for a path that is not a plain relative path of a page's kind of file
// (.html, .css, .js, fonts, images...).
[[nodiscard]] std::string_view pageContentType(std::string_view path);

// Where the page's bytes come from.
struct PageSource {
  // When not empty: every page file is read from this folder, on every
  // request, and the embedded copy is never used (not even as a fallback).
  std::filesystem::path overrideFolder;
  std::span<const EmbeddedFile> embedded;
};

// The source the launcher runs with: VANTOR_LAUNCHER_UI when set and not empty,
// else the embedded table.
[[nodiscard]] PageSource pageSourceFromEnvironment();

struct PageResponse {
  int status = 404;
  std::string reason = "Not Found";
  std::string contentType = "application/octet-stream";
  std::string body;
};

// The page path of a request address: the part after `origin` (an address that
// does not start with it gives ""), cut at its first "?" or "#".
[[nodiscard]] std::string pagePathFromUri(std::string_view uri, std::string_view origin);

// Answers one page path; "" means "index.html". Paths are matched without
// regard to letter case: against the embedded table, or (with an override
// folder) against the folder's files, where any plain relative path of a
// page's kind of file is served, known to the build or not. 200 "OK" with the
// file's content type and bytes; 404 "Not Found" with no body otherwise: with
// "application/octet-stream" for a path that is no page file, with the file's
// own type for an embedded page file that is empty, or missing from the
// override folder.
[[nodiscard]] PageResponse servePagePath(std::string_view path, const PageSource& source);

}  // namespace launcher
