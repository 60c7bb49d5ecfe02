#include "update/folder_sync.h"

#include "base/log.h"
#include "platform/platform.h"
#include "update/chunk_transfer.h"
#include "update/file_check.h"
#include "update/location.h"
#include "update/parallel_phase.h"
#include "update/range_io.h"
#include "update/sha256.h"
#include "update/sync_install.h"

#include <fstream>
#include <limits>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace launcher {

namespace fs = std::filesystem;

namespace {

using ProgressFn = std::function<void(const Progress&)>;

// Where the bytes of a chunk will be copied from.
struct ChunkSource {
  enum class Kind {
    Installed,    // an installed file, at `offset`
    StagedChunk,  // .staging/chunks/<hash>, a verified object
    StagedFile,   // a one-chunk file's own staged file, left by an earlier run
  };
  fs::path file;
  uint64_t offset = 0;
  Kind kind = Kind::Installed;
};

// One run's working state.
struct SyncRun {
  const fs::path& root;
  const GameManifest& manifest;
  const std::atomic<bool>& cancel;
  const ProgressFn& progress;
  SyncReport& report;
  std::string error;  // handed to the caller only on failure

  SyncRun(const fs::path& root, const GameManifest& manifest, const std::atomic<bool>& cancel,
          const ProgressFn& progress, SyncReport& report)
      : root(root), manifest(manifest), cancel(cancel), progress(progress), report(report) {}

  fs::path chunksFolder;
  fs::path filesFolder;
  Progress record;
  bool haveInstalled = false;
  GameManifest installed;
  std::vector<size_t> changed;                                  // manifest indexes
  std::unordered_map<std::string, ChunkSource> installedSources;  // by chunk hash
  std::unordered_map<std::string, ChunkSource> have;              // by chunk hash
  std::vector<ChunkRequest> downloads;
  std::unordered_set<std::string> downloadSet;
  std::unordered_map<std::string, int> uses;  // chunk references among changed files

  void publish() {
    if (progress) progress(record);
  }
  bool fail(std::string text) {
    error = std::move(text);
    return false;
  }
  bool cancelled() const { return cancel.load(); }
  fs::path target(const ManifestFile& f) const { return root / toWide(f.path); }
  fs::path staged(const ManifestFile& f) const { return filesFolder / toWide(f.path); }
};

// The manifest is normally checked when it is parsed; a caller may build one
// in code, and its paths and digests become file names here, so the checks
// that keep every write inside the folder are repeated.
bool checkManifest(const GameManifest& m, std::string& error) {
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
                          *toWide(key).begin() == fs::path(".staging");
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

// Step 3: every chunk of an installed file that still has its recorded size,
// first offer of a hash kept.
void collectInstalledSources(SyncRun& run) {
  if (!run.haveInstalled) return;
  for (const ManifestFile& f : run.installed.files) {
    if (!isSafeManifestPath(f.path)) continue;
    const fs::path file = run.root / toWide(f.path);
    if (fileSizeOrNone(file) != f.size) continue;
    for (const ManifestChunk& c : chunkList(f, run.installed.chunkSize)) {
      run.installedSources.try_emplace(c.hash, ChunkSource{file, c.offset, ChunkSource::Kind::Installed});
    }
  }
}

// Step 4: for each chunk the changed files need, a verified local copy or a
// place in the download set.
bool sourceChunks(SyncRun& run) {
  run.record = Progress{};
  run.record.phase = "Comparing";
  run.record.filesTotal = static_cast<int32_t>(run.changed.size());
  RangeReader reader;
  for (size_t index : run.changed) {
    if (run.cancelled()) return run.fail("Cancelled");
    const ManifestFile& f = run.manifest.files[index];
    run.record.file = f.path;
    const fs::path target = run.target(f);
    const bool targetExists = fileSizeOrNone(target) != std::numeric_limits<uint64_t>::max();
    const std::vector<ManifestChunk> chunks = chunkList(f, run.manifest.chunkSize);
    for (const ManifestChunk& c : chunks) {
      ++run.uses[c.hash];
      if (run.have.count(c.hash) || run.downloadSet.count(c.hash)) continue;
      if (run.cancelled()) return run.fail("Cancelled");
      // Fetched by an earlier run: this is what makes a resume cheap.
      const fs::path stagedChunk = run.chunksFolder / c.hash;
      if (fileSizeOrNone(stagedChunk) == c.size && reader.hashRange(stagedChunk, 0, c.size) == c.hash) {
        run.have[c.hash] = {stagedChunk, 0, ChunkSource::Kind::StagedChunk};
        continue;
      }
      // An earlier run may have moved a one-chunk file's object into its
      // staged file already.
      if (chunks.size() == 1 && c.hash == f.sha256 && c.size == f.size) {
        const fs::path stagedFile = run.staged(f);
        if (fileSizeOrNone(stagedFile) == c.size && reader.hashRange(stagedFile, 0, c.size) == c.hash) {
          run.have[c.hash] = {stagedFile, 0, ChunkSource::Kind::StagedFile};
          continue;
        }
      }
      if (targetExists && reader.hashRange(target, c.offset, c.size) == c.hash) {
        run.have[c.hash] = {target, c.offset, ChunkSource::Kind::Installed};
        continue;
      }
      auto elsewhere = run.installedSources.find(c.hash);
      if (elsewhere != run.installedSources.end() &&
          reader.hashRange(elsewhere->second.file, elsewhere->second.offset, c.size) == c.hash) {
        run.have[c.hash] = elsewhere->second;
        continue;
      }
      run.downloadSet.insert(c.hash);
      run.downloads.push_back({c.hash, c.size});
    }
    ++run.record.filesDone;
    run.publish();
  }
  return true;
}

// What the assembly threads share.
struct Assembly {
  std::atomic<size_t> next{0};
  std::atomic<uint64_t> bytesDone{0};
  std::atomic<int32_t> filesDone{0};
  std::atomic<bool> failed{false};  // take no further file
  std::mutex mutex;                 // guards the two below
  size_t failedAt = std::numeric_limits<size_t>::max();
  std::string failure;
  CurrentFiles current{phaseThreads};
};

// Step 7 for one file; any thread (reads the run's maps only). A one-chunk
// file whose object no other changed file needs is renamed into place rather
// than copied: the object's digest was verified when it was fetched or found,
// and it is the file's digest.
bool assembleFile(const SyncRun& run, const ManifestFile& f, RangeReader& reader, FileWriter& writer,
                  Assembly& shared, std::string& error) {
  const fs::path staged = run.staged(f);
  const std::vector<ManifestChunk> chunks = chunkList(f, run.manifest.chunkSize);
  std::error_code ec;
  fs::create_directories(staged.parent_path(), ec);
  if (chunks.size() == 1 && chunks[0].hash == f.sha256 && chunks[0].size == f.size) {
    auto it = run.have.find(f.sha256);
    auto uses = run.uses.find(f.sha256);
    if (it != run.have.end() && it->second.kind == ChunkSource::Kind::StagedFile && it->second.file == staged) {
      shared.bytesDone += f.size;
      return true;
    }
    if (it != run.have.end() && it->second.kind == ChunkSource::Kind::StagedChunk && uses != run.uses.end() &&
        uses->second == 1) {
      reader.close();
      std::string ignored;
      if (moveFileReplace(it->second.file, staged, MoveMode::Plain, ignored)) {
        shared.bytesDone += f.size;
        return true;
      }
      // Not renamed: copied like any other file.
    }
  }
  if (!writer.open(staged)) {
    error = "Can't write " + toUtf8(staged);
    return false;
  }
  Sha256 digest;
  for (const ManifestChunk& c : chunks) {
    auto it = run.have.find(c.hash);
    bool ok = it != run.have.end() &&
              reader.read(it->second.file, it->second.offset, c.size, [&](const char* data, size_t n) {
                if (!writer.write(data, n) || run.cancelled()) return false;
                digest.update(data, n);
                shared.bytesDone += n;
                return true;
              });
    if (!ok) {
      (void)writer.finish();
      if (writer.failed()) {
        error = "Couldn't write " + f.path + " (disk full?)";
      } else if (run.cancelled()) {
        error = "Cancelled";
      } else {
        error = "Couldn't read back " + f.path;
      }
      return false;
    }
  }
  if (!writer.finish()) {
    error = "Couldn't write " + f.path + " (disk full?)";
    return false;
  }
  if (digest.finishHex() != f.sha256) {
    error = f.path + " didn't check out after assembly";
    return false;
  }
  return true;
}

void assembleSome(const SyncRun& run, Assembly& shared, int slot) {
  RangeReader reader;
  FileWriter writer;
  for (;;) {
    const size_t n = shared.next.fetch_add(1);
    if (n >= run.changed.size() || shared.failed.load() || run.cancelled()) break;
    const ManifestFile& f = run.manifest.files[run.changed[n]];
    shared.current.set(slot, f.path);
    std::string error;
    if (!assembleFile(run, f, reader, writer, shared, error)) {
      std::lock_guard lock(shared.mutex);
      if (n < shared.failedAt) {
        shared.failedAt = n;
        shared.failure = error;
      }
      shared.failed = true;
      break;
    }
    // The disk starts on this file while the CPUs assemble the next ones, so
    // the write-through moves of the installation find little left to wait for.
    startFlushToDisk(run.staged(f));
    shared.filesDone.fetch_add(1);
  }
  shared.current.set(slot, {});
}

// Files are taken in manifest order by two threads; a failure stops new
// files from being taken, and the file each thread holds is finished, so the
// failure reported is the first in manifest order, as one thread would find.
bool assembleFiles(SyncRun& run) {
  run.record = Progress{};
  run.record.phase = "Assembling";
  run.record.filesTotal = static_cast<int32_t>(run.changed.size());
  for (size_t index : run.changed) run.record.bytesTotal += run.manifest.files[index].size;
  Assembly shared;
  runPhase(
      phaseThreads, [&](int slot) { assembleSome(run, shared, slot); },
      [&] {
        run.record.file = shared.current.any();
        run.record.bytesDone = shared.bytesDone.load();
        run.record.filesDone = shared.filesDone.load();
        if (!run.cancelled()) run.publish();
      });
  if (run.cancelled()) return run.fail("Cancelled");
  if (shared.failed.load()) return run.fail(shared.failure);
  return true;
}

bool installFiles(SyncRun& run, const std::unordered_set<std::string>& removable) {
  run.record.phase = "Installing";
  run.record.file.clear();
  run.record.filesDone = 0;
  run.record.bytesDone = 0;
  run.record.bytesTotal = 0;
  run.publish();
  for (size_t index : run.changed) {
    const ManifestFile& f = run.manifest.files[index];
    run.record.file = f.path;
    if (!installStagedFile(run.root, f.path, run.staged(f), removable)) {
      return run.fail("Couldn't replace " + f.path + " (is it open somewhere?)");
    }
    ++run.record.filesDone;
    ++run.report.filesChanged;
    run.publish();
  }
  return true;
}

std::string folderName(const fs::path& root) {
  fs::path normal = root.lexically_normal();
  if (!normal.has_filename() && normal.has_parent_path()) normal = normal.parent_path();
  return toUtf8(normal.filename());
}

bool runSync(SyncRun& run, bool verify) {
  // 1. Preparation.
  if (!checkManifest(run.manifest, run.error)) return false;
  std::error_code ec;
  fs::create_directories(run.root, ec);
  const fs::path staging = run.root / ".staging";
  run.chunksFolder = staging / "chunks";
  run.filesFolder = staging / "files";
  run.haveInstalled = readInstalledManifest(run.root, run.installed);

  // 2. File check.
  if (!findChangedFiles(run.root, run.manifest, run.haveInstalled ? &run.installed : nullptr, verify,
                        run.cancel, run.record, run.progress, run.changed, run.error)) {
    return false;
  }
  // 3 and 4. Installed sources, chunk sourcing.
  collectInstalledSources(run);
  if (!sourceChunks(run)) return false;

  // 5.
  uint64_t downloadBytes = 0;
  for (const ChunkRequest& r : run.downloads) downloadBytes += r.size;
  logf("info", "Sync {} to {} ({}): {} of {} files change, {:.1f} MB to download", toUtf8(run.root),
       run.manifest.version, run.manifest.build, run.changed.size(), run.manifest.files.size(),
       static_cast<double>(downloadBytes) / 1e6);

  // 6. Download.
  if (!run.downloads.empty()) {
    if (!fetchChunks(run.downloads, run.manifest, run.chunksFolder, run.cancel, run.record, run.progress,
                     run.error)) {
      return false;
    }
    for (const ChunkRequest& r : run.downloads) {
      run.have[r.hash] = {run.chunksFolder / r.hash, 0, ChunkSource::Kind::StagedChunk};
    }
    run.report.chunksDownloaded = static_cast<int32_t>(run.downloads.size());
    run.report.bytesDownloaded = downloadBytes;
  }

  // 7. Assembly.
  if (!assembleFiles(run)) return false;

  // 8. Game check: the staging area stays, so the next run only repeats the
  // checks and the moves.
  if (isGameRunning()) return run.fail("Close the game to finish the update");

  // 9. Installation. Files the release drops may stand in the way of a new
  // file or folder of the same name.
  std::unordered_set<std::string> newKeys;
  for (const ManifestFile& f : run.manifest.files) newKeys.insert(manifestPathKey(f.path));
  std::unordered_set<std::string> removable;
  std::vector<std::string> removedPaths;
  if (run.haveInstalled) {
    for (const ManifestFile& f : run.installed.files) {
      // Compared as files, not as strings: "a//b" and "a/b" are one file, and
      // deleting one would delete the other's new content.
      const std::string key = manifestPathKey(f.path);
      if (!isSafeManifestPath(f.path) || newKeys.count(key) || !removable.insert(key).second) continue;
      removedPaths.push_back(f.path);
    }
  }
  if (!installFiles(run, removable)) return false;

  // 10. Removal; files no manifest lists are never touched.
  for (const std::string& path : removedPaths) {
    if (removeListedFile(run.root, path)) ++run.report.filesRemoved;
  }

  // 11. Record.
  if (!writeInstalledManifest(run.root, run.manifest)) {
    logf("warn", "Couldn't write manifest.json in {}", toUtf8(run.root));
  }

  // 12. Clean-up.
  fs::remove_all(staging, ec);

  // 13.
  logf("info", "{} is now {} (build {})", folderName(run.root), run.manifest.version, run.manifest.build);
  return true;
}

}  // namespace

bool syncFolder(const fs::path& root, const GameManifest& manifest, bool verify, const std::atomic<bool>& cancel,
                const ProgressFn& progress, std::string& error, SyncReport& report) {
  report = SyncReport{};
  SyncRun run(root, manifest, cancel, progress, report);
  if (runSync(run, verify)) return true;
  error = run.error;
  return false;
}

bool syncFolder(const fs::path& root, const GameManifest& manifest, bool verify, const std::atomic<bool>& cancel,
                const ProgressFn& progress, std::string& error) {
  SyncReport report;
  return syncFolder(root, manifest, verify, cancel, progress, error, report);
}

bool readRange(const fs::path& file, uint64_t offset, uint64_t length, std::string& out) {
  out.clear();
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return false;
  out.resize(length);
  in.read(out.data(), static_cast<std::streamsize>(length));
  const bool whole = static_cast<uint64_t>(in.gcount()) == length;
  if (!whole) out.resize(static_cast<size_t>(in.gcount()));
  return whole;
}

}  // namespace launcher
