#include "update/manifest.h"

#include "base/log.h"
#include "data/json_document.h"
#include "platform/platform.h"
#include "update/http.h"
#include "update/json_fields.h"
#include "update/location.h"
#include "update/sha256.h"
#include "update/sync_install.h"
#include "update/weak_checksum.h"

#include <algorithm>
#include <fstream>
#include <unordered_set>

namespace launcher {

namespace fs = std::filesystem;

namespace {

bool isDriveLetter(const std::string& text) {
  if (text.size() < 2 || text[1] != ':') return false;
  char c = text[0];
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The checks on one reading of the path, with "/" as the only separator.
bool staysInside(const std::string& slashed) {
  const fs::path normal = toWide(slashed).lexically_normal();
  const std::string text = toGenericUtf8(normal);
  if (text.empty() || text == ".") return false;
  if (normal.is_absolute() || normal.has_root_name() || normal.has_root_directory()) return false;
  if (text[0] == '/' || isDriveLetter(text)) return false;
  if (*normal.begin() == "..") return false;
  // "a/" names a folder: a file can never be moved there.
  if (!normal.has_filename()) return false;
  return true;
}

bool hasDotDotElement(const std::string& slashed) {
  size_t start = 0;
  for (;;) {
    size_t end = slashed.find('/', start);
    if (slashed.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0) {
      return true;
    }
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

// A file's "weak" member: absent, or one value per listed chunk.
bool readWeakList(const json& element, ManifestFile& file) {
  auto weak = element.find("weak");
  if (weak == element.end()) return true;
  if (!weak->is_array() || weak->size() != file.chunks.size() || file.chunks.empty()) return false;
  file.weak.reserve(weak->size());
  for (const json& value : *weak) {
    uint64_t parsed = 0;
    if (!value.is_string() || !weakFromText(value.get_ref<const std::string&>(), parsed)) return false;
    file.weak.push_back(parsed);
  }
  return true;
}

bool parseManifestValue(const json& doc, GameManifest& m, std::string& error) {
  if (!doc.is_object()) {
    error = damagedManifestText;
    return false;
  }
  m.version = stringMember(doc, "version");
  m.build = int32Member(doc, "build");
  m.objects = stringMember(doc, "objects");
  // A negative size reads as 0 here and is refused with the small ones.
  m.chunkSize = defaultChunkSize;
  if (auto it = doc.find("chunkSize"); it != doc.end() && it->is_number()) m.chunkSize = toUint64(*it, 0);
  if (m.chunkSize < minimumChunkSize) {
    error = "The manifest has an invalid chunk size";
    return false;
  }

  m.weakKind = stringMember(doc, "weakKind");
  const bool readWeak = m.weakKind == weakChecksumKind;

  m.files.clear();
  auto files = doc.find("files");
  if (files == doc.end() || !files->is_array()) return true;
  for (const json& element : *files) {
    ManifestFile file;
    file.path = stringMember(element, "path");
    file.size = uint64Member(element, "size");
    file.sha256 = stringMember(element, "sha256");
    if (element.is_object()) {
      if (auto chunks = element.find("chunks"); chunks != element.end() && chunks->is_array()) {
        for (const json& chunk : *chunks) {
          if (chunk.is_string()) file.chunks.push_back(chunk.get<std::string>());
        }
      }
    }
    if (!isValidDigest(file.sha256) || !isSafeManifestPath(file.path) ||
        (!file.chunks.empty() && file.chunks.size() != expectedChunkCount(file.size, m.chunkSize))) {
      error = "The manifest lists an invalid file: " + file.path;
      return false;
    }
    for (const std::string& chunk : file.chunks) {
      if (!isValidDigest(chunk)) {
        error = "The manifest lists an invalid chunk in " + file.path;
        return false;
      }
    }
    if (readWeak && !readWeakList(element, file)) {
      error = "The manifest lists an invalid weak checksum in " + file.path;
      return false;
    }
    m.files.push_back(std::move(file));
  }
  return true;
}

}  // namespace

bool isSafeManifestPath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  if (!staysInside(path)) return false;
  // A Windows build reads "\" as a separator too, so the path must be just as
  // harmless read that way, and a ".." between backslashes is never meant.
  if (path.find('\\') == std::string::npos) return true;
  std::string slashed = path;
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  return staysInside(slashed) && !hasDotDotElement(slashed);
}

bool checkManifestPaths(const GameManifest& m, std::string& error) {
  if (m.chunkSize < minimumChunkSize) {
    error = "The manifest has an invalid chunk size";
    return false;
  }
  std::unordered_set<std::string> keys;
  for (const ManifestFile& f : m.files) {
    const std::string key = manifestPathKey(f.path);
    // Our own record and staging area cannot be content, and two entries
    // naming one file would overwrite each other.
    const bool reserved = key == "manifest.json" || key == "manifest.json.tmp" ||
                          (!key.empty() && *toWide(key).begin() == fs::path(".staging"));
    const bool countOk = f.chunks.empty() || f.chunks.size() == expectedChunkCount(f.size, m.chunkSize);
    if (!isSafeManifestPath(f.path) || !isValidDigest(f.sha256) || reserved || !countOk ||
        !keys.insert(key).second) {
      error = "The manifest lists an invalid file: " + f.path;
      return false;
    }
    for (const std::string& c : f.chunks) {
      if (!isValidDigest(c)) {
        error = "The manifest lists an invalid chunk in " + f.path;
        return false;
      }
    }
    if (!f.weak.empty() && f.weak.size() != f.chunks.size()) {
      error = "The manifest lists an invalid weak checksum in " + f.path;
      return false;
    }
  }
  // A file cannot also be the folder of another.
  for (const ManifestFile& f : m.files) {
    for (fs::path p = toWide(manifestPathKey(f.path)).parent_path(); !p.empty(); p = p.parent_path()) {
      if (keys.count(toUtf8(p))) {
        error = "The manifest lists an invalid file: " + f.path;
        return false;
      }
    }
  }
  return true;
}

uint64_t expectedChunkCount(uint64_t size, uint64_t chunkSize) {
  // Written so that sizes near 2^64 cannot overflow.
  return size == 0 ? 1 : (size - 1) / chunkSize + 1;
}

bool parseManifest(const std::string& text, GameManifest& m, std::string& error) {
  const json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
  return parseManifestValue(doc, m, error);
}

bool loadManifest(const std::string& location, GameManifest& m, std::string& error,
                  const std::function<bool()>& stop) {
  return loadManifest(location, DocumentPin{}, m, error, stop, TransferLimits{});
}

bool loadManifest(const std::string& location, GameManifest& m, std::string& error,
                  const std::function<bool()>& stop, const TransferLimits& limits) {
  return loadManifest(location, DocumentPin{}, m, error, stop, limits);
}

bool loadManifest(const std::string& location, const DocumentPin& pin, GameManifest& m, std::string& error,
                  const std::function<bool()>& stop) {
  return loadManifest(location, pin, m, error, stop, TransferLimits{});
}

bool loadManifest(const std::string& location, const DocumentPin& pin, GameManifest& m, std::string& error,
                  const std::function<bool()>& stop, const TransferLimits& limits) {
  if (location.empty()) {
    error = "Nothing to download";
    return false;
  }
  const bool pinned = isValidDigest(pin.sha256);
  if (pin.required && !pinned) {
    error = damagedManifestText;
    return false;
  }
  m.source = location;
  std::string text;
  TransferLimits bounded = limits;
  // One byte more than the pin allows tells a longer manifest from an exact one.
  const uint64_t pinCap = pin.size < maxTextBytes ? pin.size + 1 : maxTextBytes;
  const bool pinCaps = pinned && (limits.maxBytes == 0 || pinCap <= limits.maxBytes);
  if (pinCaps) bounded.maxBytes = pinCap;
  if (!fetchText(location, text, error, stop, bounded)) {
    if (pinCaps && error == overLimitText) error = damagedManifestText;
    return false;
  }
  if (pinned && (text.size() != pin.size || sha256Hex(text) != pin.sha256)) {
    error = damagedManifestText;
    return false;
  }
  if (!parseManifest(text, m, error)) return false;
  // A manifest from a server keeps its objects on a server.
  std::string objects;
  return resolveReference(location, m.objects, objects, error);
}

bool readInstalledManifest(const fs::path& folder, GameManifest& m) {
  return readManifestFile(folder / "manifest.json", m);
}

bool readManifestFile(const fs::path& file, GameManifest& m) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  // Parsed straight from the stream: a large installation's manifest is never
  // held twice.
  const json doc = json::parse(in, nullptr, /*allow_exceptions=*/false);
  std::string error;
  if (!parseManifestValue(doc, m, error)) return false;
  m.source = stringMember(doc, "source");
  return true;
}

json manifestToJson(const GameManifest& m) {
  json files = json::array();
  bool anyWeak = false;
  for (const ManifestFile& f : m.files) {
    json file = {{"path", f.path}, {"sha256", f.sha256}, {"size", f.size}};
    if (!f.chunks.empty()) file["chunks"] = f.chunks;
    if (!f.weak.empty()) {
      json weak = json::array();
      for (uint64_t w : f.weak) weak.push_back(weakToText(w));
      file["weak"] = std::move(weak);
      anyWeak = true;
    }
    files.push_back(std::move(file));
  }
  // The build is written unsigned; reading takes its low 32 bits back.
  json doc = {{"build", static_cast<uint32_t>(m.build)},
              {"chunkSize", m.chunkSize},
              {"files", std::move(files)},
              {"objects", m.objects},
              {"schema", 2},
              {"source", m.source},
              {"version", m.version}};
  if (anyWeak) doc["weakKind"] = m.weakKind;
  return doc;
}

bool writeInstalledManifest(const fs::path& folder, const GameManifest& m, bool* durable) {
  return writeManifestFile(folder / "manifest.json", m, durable);
}

bool writeManifestFile(const fs::path& file, const GameManifest& m, bool* durable) {
  if (durable) *durable = false;
  std::string text = manifestToJson(m).dump(1, ' ', false, json::error_handler_t::replace);
  text += '\n';
  const fs::path tmp = companionPath(file, ".tmp");
  std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  // Never rename a short write over the record of what is installed.
  if (!out || !flushFileToDisk(tmp)) return false;
  std::string error;
  if (!moveFileReplace(tmp, file, MoveMode::Plain, error)) return false;
  // The new record is in place from here on; only its folder entry may not
  // be on disk yet.
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  if (!flushFolderToDisk(folder)) {
    logf("warn", "Couldn't flush {} to disk after writing {}", toUtf8(folder), toUtf8(file.filename()));
    return true;
  }
  if (durable) *durable = true;
  return true;
}

std::vector<ManifestChunk> chunkList(const ManifestFile& f, uint64_t chunkSize) {
  std::vector<ManifestChunk> list;
  if (f.chunks.empty()) {
    list.push_back({f.sha256, 0, f.size});
    return list;
  }
  list.reserve(f.chunks.size());
  uint64_t offset = 0;
  for (const std::string& hash : f.chunks) {
    // Guarded so that a list longer than the size allows gives empty chunks,
    // never a wrapped size.
    uint64_t left = f.size > offset ? f.size - offset : 0;
    list.push_back({hash, offset, left < chunkSize ? left : chunkSize});
    offset += left < chunkSize ? left : chunkSize;
  }
  return list;
}

std::string objectLocation(const GameManifest& m, const std::string& hash) {
  return resolveUrl(m.source, m.objects + hash.substr(0, 2) + "/" + hash);
}

std::vector<std::string> objectLocations(const GameManifest& m, const std::string& hash) {
  std::vector<std::string> places{objectLocation(m, hash)};
  const std::string rel = m.objects + hash.substr(0, 2) + "/" + hash;
  for (const std::string& mirror : m.mirrorSources) {
    std::string location = resolveUrl(mirror, rel);
    if (std::find(places.begin(), places.end(), location) == places.end()) places.push_back(std::move(location));
  }
  return places;
}

uint64_t estimateDownload(const fs::path& folder, const GameManifest& m) {
  std::unordered_set<std::string> seen;
  GameManifest installed;
  if (readInstalledManifest(folder, installed)) {
    for (const ManifestFile& f : installed.files) {
      for (const ManifestChunk& c : chunkList(f, installed.chunkSize)) seen.insert(c.hash);
    }
  }
  uint64_t total = 0;
  for (const ManifestFile& f : m.files) {
    for (ManifestChunk& c : chunkList(f, m.chunkSize)) {
      if (seen.insert(std::move(c.hash)).second) total += c.size;
    }
  }
  return total;
}

}  // namespace launcher
