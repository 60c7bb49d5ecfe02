// Publishing test content with the project's own release tool and checking a
// synced folder against what was published. The published manifest is read
// here with plain JSON, not with the launcher's parser, so a fault there
// cannot hide itself.
#pragma once

#include "testing/nginx_server.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace launcher::testing {

struct PublishedFile {
  std::string path;
  uint64_t size = 0;
  std::string sha256;
  std::vector<std::string> chunks;
};

struct PublishedRelease {
  std::string version;
  int build = 0;
  uint64_t chunkSize = 1048576;
  std::string manifestPath;  // relative to the feed: "manifests/<version>-<build>.json"
  std::vector<PublishedFile> files;

  // Every object a full install needs, by hash, with its size.
  [[nodiscard]] std::map<std::string, uint64_t> objects() const;
  [[nodiscard]] const PublishedFile* find(const std::string& path) const;
};

// Runs `python3 <repo>/tools/release/make_release.py content feed --version V
// --build N --chunk-size B [extra...]` and reads the manifest it wrote.
[[nodiscard]] bool publishRelease(const std::filesystem::path& repo, const std::filesystem::path& content,
                                  const std::filesystem::path& feed, const std::string& version, int build,
                                  uint64_t chunkSize, PublishedRelease& out, std::string& error,
                                  const std::vector<std::string>& extra = {});

// Runs `python3 <repo>/tools/release/make_key.py keyFile`; `publicKey` is the
// line it printed.
[[nodiscard]] bool makeFeedKey(const std::filesystem::path& repo, const std::filesystem::path& keyFile,
                               std::string& publicKey, std::string& error);

[[nodiscard]] bool readPublishedManifest(const std::filesystem::path& file, PublishedRelease& out,
                                         std::string& error);

enum class Staging { MustBeGone, MayRemain };

// True when `folder` holds exactly the release: every listed file with its
// size and digest, a manifest.json naming the same version and build, no
// other regular file outside ".staging", and (MustBeGone) no ".staging".
// `why` lists every difference.
[[nodiscard]] bool folderMatchesRelease(const std::filesystem::path& folder, const PublishedRelease& r,
                                        std::string& why, Staging staging = Staging::MustBeGone);

// The objects of release `r` that lie verified in folder's staging area: a
// range of a staged file (.staging/files/<path>) that holds, at the chunk's
// place, bytes with the chunk's digest, or a file in .staging/chunks whose
// bytes have the digest it is named by. What a rerun must not fetch again.
[[nodiscard]] std::set<std::string> verifiedStagedChunks(const std::filesystem::path& folder,
                                                         const PublishedRelease& r);

// The object hashes requested in these log entries, in order, repeats kept.
[[nodiscard]] std::vector<std::string> objectRequests(const std::vector<AccessEntry>& log);

// Incompressible bytes from a seed, written in blocks (files may be large).
void writeRandomFile(const std::filesystem::path& file, uint64_t size, uint64_t seed);
// Overwrites [offset, offset + length) of an existing file with seeded bytes.
void overwriteRandom(const std::filesystem::path& file, uint64_t offset, uint64_t length, uint64_t seed);

}  // namespace launcher::testing
