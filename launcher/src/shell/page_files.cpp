#include "shell/page_files.h"

#include "update/location.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace launcher {
namespace {

struct KnownFile {
  std::string_view path;
  std::string_view contentType;
};

// The page is exactly these files; anything else is answered with 404.
constexpr KnownFile knownFiles[] = {
    {"fonts/manrope.woff2", "font/woff2"},
    {"fonts/orbitron.woff2", "font/woff2"},
    {"fonts/syncopate.woff2", "font/woff2"},
    {"index.html", "text/html; charset=utf-8"},
    {"launcher.css", "text/css; charset=utf-8"},
    {"launcher.js", "text/javascript; charset=utf-8"},
};

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

const KnownFile* findKnown(std::string_view path) {
  for (const KnownFile& file : knownFiles)
    if (equalsIgnoringCase(file.path, path)) return &file;
  return nullptr;
}

std::string readWholeFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string_view pageContentType(std::string_view path) {
  const KnownFile* known = findKnown(path);
  return known ? known->contentType : std::string_view();
}

PageSource pageSourceFromEnvironment() {
  PageSource source;
  source.embedded = embeddedPageFiles();
  if (const char* folder = std::getenv("VANTOR_LAUNCHER_UI"); folder && *folder)
    source.overrideFolder = toWide(folder);
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
  const KnownFile* known = findKnown(path);
  if (!known) return response;
  response.contentType = known->contentType;
  if (!source.overrideFolder.empty()) {
    response.body = readWholeFile(source.overrideFolder / toWide(std::string(known->path)));
  } else {
    for (const EmbeddedFile& file : source.embedded) {
      if (file.path == known->path) {
        response.body.assign(reinterpret_cast<const char*>(file.data), file.size);
        break;
      }
    }
  }
  if (!response.body.empty()) {
    response.status = 200;
    response.reason = "OK";
  }
  return response;
}

}  // namespace launcher
