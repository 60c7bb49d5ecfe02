// How every JSON file of the launcher is read and saved: a missing or damaged
// document reads as "no document" (callers keep their defaults), and a save
// goes through a ".tmp" companion that replaces the file only when complete.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>

namespace launcher {

using json = nlohmann::json;

enum class DocumentKind {
  Plain,     // launcher.json, addons.json, account.json, ...
  Settings,  // settings.json: damaged files are copied to ".bad"; the folder is
             // created before saving
  Private,   // account.json: as Plain, and saved readable and writable by its
             // owner only (0600), its ".tmp" never written through a link
};

// The parsed document, or a discarded value (json::is_discarded()) when the
// file cannot be opened or is not strict JSON. A UTF-8 byte-order mark is
// accepted. With DocumentKind::Settings a file that opens but does not parse
// is copied to file + ".bad" (replacing an older copy; failures ignored).
[[nodiscard]] json readJsonDocument(const std::filesystem::path& file,
                                    DocumentKind kind = DocumentKind::Plain);

// Writes value (2-space indent, sorted keys, one trailing line break) to
// file + ".tmp", flushes it to disk and renames it over file. True when the new
// content is in place. A ".tmp" whose write failed (a full disk) is never
// renamed, whatever the kind. On failure the old document is unchanged and the
// ".tmp" companion may hold the new content. A failed flush of the folder
// after the rename is not a failure: the new content is in place, and a "warn"
// line says that its folder entry may not be on disk yet. Written with LF line
// ends.
[[nodiscard]] bool writeJsonDocument(const std::filesystem::path& file, const json& value,
                                     DocumentKind kind = DocumentKind::Plain);

// The companion of a document: file name + suffix (".tmp", ".bad"), not a
// changed extension.
[[nodiscard]] std::filesystem::path companionPath(const std::filesystem::path& file,
                                                  const char* suffix);

}  // namespace launcher
