// Finds, in local files, chunks that a sync would otherwise download, at any
// offset: content that moved inside its file (bytes inserted or deleted in
// front of it, a header added) or into another file. Every candidate the
// weak checksum finds is confirmed with SHA-256 before it is handed on.
//
// The search first looks where moved content usually is: in the old version
// of the same file (or, for a file that has none, in the local files closest
// to it in size), rolled whole when most of it is wanted, else probed around
// each wanted chunk's own offset and then at the shifts it has learned. Then,
// for the files whose size changed or that are new, it rolls the other
// local files whole. Everything it reads and hashes counts against a budget
// proportional to the bytes it could save. Runs on the calling thread.
#pragma once

#include "update/manifest.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace launcher {

// A file of the new release that has wanted chunks.
struct WantedFile {
  std::string key;  // manifestPathKey of its path
  uint64_t size = 0;
};

// A chunk to look for. The full ones (the chunk size) are rolled for; a
// shorter last chunk of a file is looked for at the end of local files.
struct WantedChunk {
  std::string hash;
  uint64_t size = 0;
  uint64_t weak = 0;
  size_t file = 0;      // index into the wanted files
  uint64_t offset = 0;  // its place in that file
};

// A file the search may read.
struct LocalFile {
  std::filesystem::path path;
  std::string key;  // manifestPathKey of its path
  uint64_t size = 0;
  bool dropped = false;  // the new release does not list it: looked at first
};

// The budget counts the bytes read and the bytes hashed for candidates that
// turned out not to be the chunk. Reads stop at it; what refused candidates
// cost may pass it, by at most a few passes over each wanted chunk, since a
// chunk's weak value stops being looked for after 4 refusals by SHA-256 (or
// 16 windows whose CRC half matched but not the Adler half).
struct MovedSearchStats {
  uint64_t bytesRead = 0;     // read from local files
  uint64_t bytesHashed = 0;   // hashed to confirm candidates
  uint64_t bytesRefused = 0;  // of them, for candidates that were not the chunk
  uint64_t budget = 0;
  uint32_t weakMatches = 0;   // windows whose weak checksum matched a wanted chunk
  uint32_t falseMatches = 0;  // of them, refused by SHA-256
  uint32_t found = 0;
  uint64_t foundBytes = 0;
};

// The chunk's bytes, in pieces, valid only during the call.
using ChunkPieces = std::vector<std::pair<const unsigned char*, size_t>>;

struct MovedSearch {
  std::vector<WantedFile> files;
  std::vector<WantedChunk> chunks;  // each hash once
  std::vector<LocalFile> local;
  uint64_t chunkSize = defaultChunkSize;
  // Called once per found chunk with bytes whose SHA-256 is the chunk's
  // hash; false stops the search (the caller could not keep them).
  std::function<bool(size_t chunk, const ChunkPieces& bytes, const LocalFile& from, uint64_t offset)> found;
  // Called now and then with the bytes read and hashed so far; may be empty.
  std::function<void(uint64_t spent, uint64_t budget)> progress;
};

// Bytes the search may spend per byte it could save.
inline constexpr uint64_t movedSearchBudgetFactor = 2;
// The largest chunk size searched for: the window is held in memory.
inline constexpr uint64_t movedSearchMaxChunkSize = 16 * 1048576;

// Runs the search. False when `cancel` (may be null) was seen ("Cancelled")
// or `found` asked to stop; what was found until then stays found.
[[nodiscard]] bool findMovedChunks(const MovedSearch& search, const std::atomic<bool>* cancel,
                                   MovedSearchStats& stats);

}  // namespace launcher
