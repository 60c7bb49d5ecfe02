// A content manifest: one release of a folder (the game or an add-on) as files
// with sizes, digests and per-chunk digests; chunks live on the server as
// content-addressed objects. Also the format of every installed manifest.json.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace launcher {

inline constexpr uint64_t defaultChunkSize = 1048576;
inline constexpr uint64_t minimumChunkSize = 4096;

struct ManifestFile {
  std::string path;  // relative, "/"-separated, kept exactly as written
  uint64_t size = 0;
  std::string sha256;               // the whole file
  std::vector<std::string> chunks;  // each chunk's digest in order; may be empty
  // Each chunk's weak checksum in order, when the manifest gives them in a
  // kind this launcher reads (weakKind); empty otherwise.
  std::vector<uint64_t> weak = {};
};

struct ManifestChunk {
  std::string hash;
  uint64_t offset = 0;
  uint64_t size = 0;
};

struct GameManifest {
  std::string version;
  int32_t build = 0;
  uint64_t chunkSize = defaultChunkSize;
  std::string objects;  // prefix of every object location, relative to source
  std::string source;   // where the manifest was loaded from
  std::vector<ManifestFile> files;
  std::string weakKind = {};  // the kind of the files' weak checksums ("weakKind"); may be empty
  // The same manifest at the feed's mirrors, in the order they are tried
  // after `source`; objects come from whichever place answers. Set by the
  // job that loaded the manifest; never part of a document.
  std::vector<std::string> mirrorSources;
};

// Parses and validates a manifest document. The first fault ends the parse
// with its text; `m` keeps what was filled so far. A file's "weak" list is
// read only when the document's "weakKind" is weakChecksumKind; then it must
// give one value per chunk ("The manifest lists an invalid weak checksum in "
// + path). Of another kind, or without "weakKind", it is ignored, and the
// manifest syncs as one without weak checksums.
[[nodiscard]] bool parseManifest(const std::string& text, GameManifest& m, std::string& error);

// fetchText(location) then parseManifest, with m.source = location. A manifest
// read over http(s) whose "objects" names a local place fails with
// "Bad address: " and that text. `stop` (may be empty) ends the fetch as
// "Cancelled", also while a server is silent. A fetch that runs longer than
// the limits fails as a transfer error (manifestDocumentLimits in update/http.h
// is the launcher's own).
struct TransferLimits;
[[nodiscard]] bool loadManifest(const std::string& location, GameManifest& m, std::string& error,
                                const std::function<bool()>& stop = {});
[[nodiscard]] bool loadManifest(const std::string& location, GameManifest& m, std::string& error,
                                const std::function<bool()>& stop, const TransferLimits& limits);

// What a document says of a manifest it names: the SHA-256 and size of the
// manifest's exact bytes.
struct DocumentPin {
  std::string sha256;  // empty when the document gives none
  uint64_t size = 0;
  // The naming document was verified: a pin must be there.
  bool required = false;
};

inline constexpr const char* damagedManifestText = "The manifest is damaged";

// loadManifest with the bytes checked first. When `pin.sha256` is a valid
// digest the manifest is read no further than `pin.size` bytes and must have
// exactly that size and digest; otherwise (and when a required pin is
// missing) it fails with damagedManifestText before anything in it is used.
// A pin that is not a digest, on a document that was not verified, is not
// checked: such a document is taken as it comes. `limits` as above; a pin's
// size caps a larger maxBytes.
[[nodiscard]] bool loadManifest(const std::string& location, const DocumentPin& pin, GameManifest& m,
                                std::string& error, const std::function<bool()>& stop = {});
[[nodiscard]] bool loadManifest(const std::string& location, const DocumentPin& pin, GameManifest& m,
                                std::string& error, const std::function<bool()>& stop,
                                const TransferLimits& limits);

// folder / "manifest.json"; false when missing or invalid. m.source is its
// "source" member.
[[nodiscard]] bool readInstalledManifest(const std::filesystem::path& folder, GameManifest& m);

// The same for a manifest document at any path.
[[nodiscard]] bool readManifestFile(const std::filesystem::path& file, GameManifest& m);

// The installed-copy document (write it with one-space indentation); with
// "weakKind" and each file's "weak" when any file has weak checksums.
[[nodiscard]] nlohmann::json manifestToJson(const GameManifest& m);

// Writes manifestToJson(m) as folder / "manifest.json" (one-space indent, one
// trailing line break) through a ".tmp" companion that is flushed to disk and
// renamed over the old file. True when the new copy is in place; on failure the
// old file is unchanged. When only the flush of the folder after the rename
// failed, the new copy is in place: the result is true, a "warn" line says so,
// and `durable` (may be null) is false. Any thread; the caller owns the folder.
[[nodiscard]] bool writeInstalledManifest(const std::filesystem::path& folder, const GameManifest& m,
                                          bool* durable = nullptr);

// The same for any path: the document at `file`, through file + ".tmp".
[[nodiscard]] bool writeManifestFile(const std::filesystem::path& file, const GameManifest& m,
                                     bool* durable = nullptr);

// True when a manifest path stays inside the folder it is synced into, read
// with "/" or, as a Windows build would, "\" as separators: not empty, no NUL,
// not absolute, no drive letter or network share, no leading separator, not
// leading out with "..", and naming a file rather than the folder itself.
[[nodiscard]] bool isSafeManifestPath(const std::string& path);

// The checks a sync makes before it writes anything, whoever built the
// manifest (paths and digests become file names): a valid chunk size; every
// path safe (isSafeManifestPath), none of the launcher's own names
// ("manifest.json", "manifest.json.tmp", anything under ".staging"), none
// naming the same file as another ("a//b" and "a/b"), no file that is also
// the folder of another; valid digests and chunk counts. The publishing tools
// apply the same path rules. False with the manifest's text for the first fault.
[[nodiscard]] bool checkManifestPaths(const GameManifest& m, std::string& error);

// ceil(size / chunkSize), and 1 for an empty file. chunkSize must not be 0.
[[nodiscard]] uint64_t expectedChunkCount(uint64_t size, uint64_t chunkSize);

// The chunks of a file: one whole-file chunk when it lists none.
[[nodiscard]] std::vector<ManifestChunk> chunkList(const ManifestFile& f, uint64_t chunkSize);

// The resolved location of the object with this hash.
[[nodiscard]] std::string objectLocation(const GameManifest& m, const std::string& hash);

// Every place the object may come from: at `source` first, then at each of
// mirrorSources in order; a place that comes out the same as an earlier one
// (an absolute "objects") is listed once. Never empty. The same manifest
// gives every hash the same number of places, in the same order.
[[nodiscard]] std::vector<std::string> objectLocations(const GameManifest& m, const std::string& hash);

// Bytes an update of `folder` to `m` would fetch, from the manifests alone.
[[nodiscard]] uint64_t estimateDownload(const std::filesystem::path& folder, const GameManifest& m);

}  // namespace launcher
