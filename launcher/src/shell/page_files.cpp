#include "shell/page_files.h"

#include "platform/platform.h"
#include "update/location.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>

namespace launcher {
namespace {

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && equalsIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

// A relative path of plain names: no empty, "." or ".." part, nothing hidden,
// no backslash or control character. Anything else never reaches the disk.
bool isPlainRelativePath(std::string_view path) {
  if (path.empty()) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part.empty() || part.front() == '.') return false;
    for (char c : part)
      if (static_cast<unsigned char>(c) < 0x20 || c == '\\' || c == 0x7f) return false;
    start = end + 1;
  }
  return true;
}

std::string readWholeFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file under `folder` whose path matches the plain relative `path` without
// regard to letter case (an exact match first), or an empty path.
std::filesystem::path findIgnoringCase(const std::filesystem::path& folder, std::string_view path) {
  std::filesystem::path found = folder;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string part(path.substr(start, end - start));
    std::error_code ec;
    if (std::filesystem::exists(found / toWide(part), ec)) {
      found /= toWide(part);
    } else {
      std::filesystem::path match;
      for (auto it = std::filesystem::directory_iterator(found, ec); !ec && it != std::filesystem::directory_iterator();
           it.increment(ec)) {
        if (equalsIgnoringCase(toUtf8(it->path().filename()), part)) {
          match = it->path();
          break;
        }
      }
      if (match.empty()) return {};
      found = match;
    }
    start = end + 1;
  }
  return found;
}

}  // namespace

const EmbeddedFile* findEmbeddedFile(std::span<const EmbeddedFile> files, std::string_view path) {
  for (const EmbeddedFile& file : files)
    if (equalsIgnoringCase(file.path, path)) return &file;
  return nullptr;
}

std::string_view pageContentType(std::string_view path) {
  // The kinds of file a page is made of; embed_files.py embeds the same kinds.
  static constexpr std::pair<std::string_view, std::string_view> types[] = {
      {".html", "text/html; charset=utf-8"},
      {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".json", "application/json"},
      {".txt", "text/plain; charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".webp", "image/webp"},
      {".ico", "image/x-icon"},
      {".woff", "font/woff"},
      {".woff2", "font/woff2"},
  };
  if (!isPlainRelativePath(path)) return {};
  for (const auto& [extension, type] : types)
    if (path.size() > extension.size() && endsWithIgnoringCase(path, extension)) return type;
  return {};
}

PageSource pageSourceFromEnvironment() {
  PageSource source;
  source.embedded = embeddedPageFiles();
  // UTF-8 on every system, so a folder of any name works on Windows too.
  if (const auto folder = environmentVariable("VANTOR_LAUNCHER_UI"); folder && !folder->empty())
    source.overrideFolder = toWide(*folder);
  return source;
}

std::string pagePathFromUri(std::string_view uri, std::string_view origin) {
  if (uri.substr(0, origin.size()) != origin) return {};
  std::string_view path = uri.substr(origin.size());
  std::size_t cut = path.find_first_of("?#");
  if (cut != std::string_view::npos) path = path.substr(0, cut);
  return std::string(path);
}

PageResponse servePagePath(std::string_view path, const PageSource& source) {
  if (path.empty()) path = "index.html";
  PageResponse response;
  const EmbeddedFile* embedded = findEmbeddedFile(source.embedded, path);
  if (source.overrideFolder.empty()) {
    if (!embedded) return response;
    response.contentType = embedded->contentType;
    response.body.assign(reinterpret_cast<const char*>(embedded->data), embedded->size);
  } else {
    // The folder stands in for the whole page, files the build does not know
    // included, so a page can grow without a rebuild. Nothing falls back to
    // the embedded bytes.
    std::string_view type = embedded ? std::string_view(embedded->contentType) : pageContentType(path);
    if (type.empty()) return response;
    std::filesystem::path file = findIgnoringCase(source.overrideFolder, path);
    if (!file.empty()) response.body = readWholeFile(file);
    if (!embedded && file.empty()) return response;  // no page file by that name at all
    response.contentType = type;
  }
  if (!response.body.empty()) {
    response.status = 200;
    response.reason = "OK";
  }
  return response;
}

}  // namespace launcher
