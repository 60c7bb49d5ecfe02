#include "data/json_document.h"

#include "base/log.h"
#include "platform/file_copy.h"
#include "platform/platform.h"

#include <fstream>
#include <iterator>
#include <string>

namespace launcher {

namespace fs = std::filesystem;

namespace {
std::string utf8(const fs::path& p) {
  const std::u8string text = p.u8string();
  return std::string(text.begin(), text.end());
}
}  // namespace

// path::operator+= takes the suffix as the path's own character type, so this
// holds where paths are wide too.
fs::path companionPath(const fs::path& file, const char* suffix) {
  fs::path companion = file;
  companion += suffix;
  return companion;
}

json readJsonDocument(const fs::path& file, DocumentKind kind) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return json(json::value_t::discarded);
  // Read whole (these documents are small), strictly and without comments.
  // The parser skips one UTF-8 byte-order mark at the very start, but takes a
  // NUL byte for the end of the input, so "1\0..." would read as 1: a NUL is
  // never JSON, and such a file is damaged.
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const bool readWhole = !in.bad();
  in.close();
  json document = json(json::value_t::discarded);
  if (readWhole && text.find('\0') == std::string::npos) {
    document = json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
  }
  if (document.is_discarded() && kind == DocumentKind::Settings) {
    // Not copy_file with overwrite_existing: one runtime of Windows refuses
    // an existing target with it. A failed copy is ignored.
    std::string error;
    (void)copyFileData(file, companionPath(file, ".bad"), error);
  }
  return document;
}

bool writeJsonDocument(const fs::path& file, const json& value, DocumentKind kind) {
  if (kind == DocumentKind::Settings && file.has_parent_path()) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
  }
  std::string text;
  try {
    // Replace rather than refuse invalid UTF-8, so a save never throws.
    text = value.dump(2, ' ', false, json::error_handler_t::replace);
  } catch (...) {
    return false;
  }
  text += '\n';

  const fs::path tmp = companionPath(file, ".tmp");
  if (kind == DocumentKind::Private) {
    std::FILE* out = openFile(tmp, FileOpen::CreatePrivate);
    if (!out) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    // A short write means a full disk or a dying device: never rename a
    // half-written file over a good one, whichever document it is.
    if (std::fclose(out) != 0 || !written) return false;
  } else {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) return false;
  }
  // The rename commits the save; the data must be on disk before it, or a
  // power cut could leave an empty document behind.
  if (!flushFileToDisk(tmp)) return false;
  std::string error;
  if (!moveFileReplace(tmp, file, MoveMode::Plain, error)) return false;
  // The new content is in place; a folder that cannot be flushed only leaves
  // the rename's durability open, which is no reason to report a failed save.
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  if (!flushFolderToDisk(folder)) {
    logf("warn", "Couldn't flush {} to disk after saving {}", utf8(folder), utf8(file.filename()));
  }
  return true;
}

}  // namespace launcher
