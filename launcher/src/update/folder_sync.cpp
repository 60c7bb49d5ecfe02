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
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace launcher {

namespace fs = std::filesystem;

namespace {

using ProgressFn = std::function<void(const Progress&)>;

constexpr const char* lockName = "lock";
// Written (durably) before the first installed file is replaced and removed
// once manifest.json is durable: while it exists, manifest.json may not
// describe the files, so the next run checks every file by its digest. It
// holds the manifest being installed, plus the files of any install it
// interrupted, so the files such an install may have put in place are known.
constexpr const char* installingName = "installing.json";

// Where the bytes of a chunk can be read.
struct ChunkSource {
  fs::path file;
  uint64_t offset = 0;
};

// How one chunk position of a changed file gets into its staged file.
enum class Placement : uint8_t {
  Copy,      // copied during assembly from "have"
  InStaged,  // already there, verified: left by an earlier run
  Download,  // written there by the download, verified as it arrives
};

struct ChangedFile {
  size_t index = 0;  // in manifest.files
  std::vector<Placement> placement;  // by chunk
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

  fs::path staging;
  fs::path chunksFolder;
  fs::path filesFolder;
  FileLock lock;
  Progress record;
  bool haveInstalled = false;
  GameManifest installed;
  bool interruptedInstall = false;  // an earlier run stopped while installing
  GameManifest interrupted;         // what that run was installing, when readable
  std::vector<ChangedFile> changed;  // in manifest order
  std::unordered_map<std::string, ChunkSource> installedSources;  // by chunk hash
  std::unordered_map<std::string, ChunkSource> have;              // by chunk hash
  std::vector<ChunkRequest> downloads;
  std::unordered_set<std::string> downloadSet;

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

// The size of a regular file, else all bits set (missing, a folder).
uint64_t regularFileSize(const fs::path& file) {
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(file, ec))) return std::numeric_limits<uint64_t>::max();
  return fileSizeOrNone(file);
}

// One sync per folder at a time: two would share the staging area.
bool lockStaging(SyncRun& run) {
  std::error_code ec;
  fs::create_directories(run.staging, ec);
  std::string error;
  switch (run.lock.tryAcquire(run.staging / lockName, error)) {
    case FileLock::Result::Acquired:
      return true;
    case FileLock::Result::HeldElsewhere:
      return run.fail("Another update of this folder is running");
    case FileLock::Result::Failed:
      break;
  }
  return run.fail("Can't write " + toUtf8(run.staging) + " (" + error + ")");
}

// Everything in the staging area, the lock last, so that the folder never
// seems free while any of it is still being removed.
// A folder that cannot be listed is left for the next run (the iterator's
// increment is the error-code form: the throwing one would end the process).
void removeStaging(SyncRun& run) {
  std::error_code ec;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(run.staging, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename() != lockName) entries.push_back(it->path());
  }
  if (ec) {
    logf("warn", "Couldn't list {} to remove it: {}", toUtf8(run.staging), ec.message());
    // manifest.json is on disk: the marker would only make the next run
    // check every file again.
    std::error_code ignored;
    fs::remove(run.staging / installingName, ignored);
    run.lock.release();
    return;
  }
  for (const fs::path& entry : entries) fs::remove_all(entry, ec);
  run.lock.removeAndRelease();
  fs::remove(run.staging, ec);
}

// Step 3: every chunk of an installed file that still has its recorded size,
// first offer of a hash kept. An interrupted install's files offer theirs too;
// every offer is hashed before it is used.
void collectInstalledSources(SyncRun& run) {
  auto offer = [&](const GameManifest& m) {
    for (const ManifestFile& f : m.files) {
      if (!isSafeManifestPath(f.path)) continue;
      const fs::path file = run.root / toWide(f.path);
      if (fileSizeOrNone(file) != f.size) continue;
      for (const ManifestChunk& c : chunkList(f, m.chunkSize)) {
        run.installedSources.try_emplace(c.hash, ChunkSource{file, c.offset});
      }
    }
  };
  if (run.haveInstalled) offer(run.installed);
  if (run.interruptedInstall) offer(run.interrupted);
}

// Step 4: for each chunk position of the changed files, whether it already
// lies verified in the staged file, where a verified local copy can be read,
// or that it must be fetched: straight into its place in the staged file.
bool sourceChunks(SyncRun& run) {
  run.record = Progress{};
  run.record.phase = "Comparing";
  run.record.filesTotal = static_cast<int32_t>(run.changed.size());
  RangeReader reader;
  const std::atomic<bool>* cancel = &run.cancel;
  for (ChangedFile& changed : run.changed) {
    if (run.cancelled()) return run.fail("Cancelled");
    const ManifestFile& f = run.manifest.files[changed.index];
    run.record.file = f.path;
    const fs::path target = run.target(f);
    const fs::path staged = run.staged(f);
    const bool targetExists = fileSizeOrNone(target) != std::numeric_limits<uint64_t>::max();
    const uint64_t stagedSize = regularFileSize(staged);
    const std::vector<ManifestChunk> chunks = chunkList(f, run.manifest.chunkSize);
    changed.placement.assign(chunks.size(), Placement::Copy);
    for (size_t i = 0; i < chunks.size(); ++i) {
      const ManifestChunk& c = chunks[i];
      if (run.cancelled()) return run.fail("Cancelled");
      // Left in place by an earlier run (fetched, or copied, and verified
      // then): trusted only after it is hashed again now.
      if (stagedSize != std::numeric_limits<uint64_t>::max() && c.offset + c.size <= stagedSize &&
          reader.hashRange(staged, c.offset, c.size, cancel) == c.hash) {
        changed.placement[i] = Placement::InStaged;
        run.have.try_emplace(c.hash, ChunkSource{staged, c.offset});
        continue;
      }
      if (run.have.count(c.hash) || run.downloadSet.count(c.hash)) continue;
      if (run.cancelled()) return run.fail("Cancelled");
      // An object an earlier version left in the chunks folder.
      const fs::path stagedChunk = run.chunksFolder / c.hash;
      if (fileSizeOrNone(stagedChunk) == c.size && reader.hashRange(stagedChunk, 0, c.size, cancel) == c.hash) {
        run.have[c.hash] = {stagedChunk, 0};
        continue;
      }
      if (targetExists && reader.hashRange(target, c.offset, c.size, cancel) == c.hash) {
        run.have[c.hash] = {target, c.offset};
        continue;
      }
      auto elsewhere = run.installedSources.find(c.hash);
      if (elsewhere != run.installedSources.end() &&
          reader.hashRange(elsewhere->second.file, elsewhere->second.offset, c.size, cancel) == c.hash) {
        run.have[c.hash] = elsewhere->second;
        continue;
      }
      if (run.cancelled()) return run.fail("Cancelled");
      // Fetched once, into its first place; other places copy it from there.
      changed.placement[i] = Placement::Download;
      run.downloadSet.insert(c.hash);
      ChunkRequest request;
      request.hash = c.hash;
      request.size = c.size;
      request.target = staged;
      request.targetOffset = c.offset;
      run.downloads.push_back(std::move(request));
    }
    ++run.record.filesDone;
    run.publish();
  }
  return true;
}

// Before the download: every staged file exists with its final size and its
// space allocated, so the download can place bytes straight into it and a
// full disk shows before anything is fetched. Bytes an earlier run left
// verified stay where they are.
bool prepareStagedFiles(SyncRun& run) {
  std::error_code ec;
  for (const ChangedFile& changed : run.changed) {
    if (run.cancelled()) return run.fail("Cancelled");
    const ManifestFile& f = run.manifest.files[changed.index];
    const fs::path staged = run.staged(f);
    clearStagingObstacles(run.filesFolder, staged);
    fs::create_directories(staged.parent_path(), ec);
    std::string why;
    switch (prepareFile(staged, f.size, why)) {
      case PrepareResult::Ready:
        break;
      case PrepareResult::NoSpace:
        return run.fail("Couldn't write " + f.path + " (disk full?)");
      case PrepareResult::Failed:
        return run.fail("Can't write " + toUtf8(staged));
    }
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

// Step 7 for one file; any thread (reads the run's maps only). Copies the
// chunks that are not yet in the staged file, and hashes the whole file in
// order, reading back what the download placed, so the file is checked
// against its own digest before anything is installed. The staged file is
// flushed to disk here, so the installation's moves wait for nothing.
bool assembleFile(const SyncRun& run, const ChangedFile& changed, RangeReader& stagedReader,
                  RangeReader& sourceReader, FileWriter& writer, Assembly& shared, std::string& error) {
  const ManifestFile& f = run.manifest.files[changed.index];
  const fs::path staged = run.staged(f);
  const std::vector<ManifestChunk> chunks = chunkList(f, run.manifest.chunkSize);
  bool copies = false;
  for (Placement p : changed.placement) copies |= p == Placement::Copy;
  if (copies && !writer.openExisting(staged)) {
    error = "Can't write " + toUtf8(staged);
    return false;
  }
  Sha256 digest;
  auto hashed = [&](const char* data, size_t n) {
    digest.update(data, n);
    shared.bytesDone += n;
    return !run.cancelled();
  };
  for (size_t i = 0; i < chunks.size(); ++i) {
    const ManifestChunk& c = chunks[i];
    bool ok = false;
    if (changed.placement[i] != Placement::Copy) {
      ok = stagedReader.read(staged, c.offset, c.size, hashed);
    } else {
      auto it = run.have.find(c.hash);
      ok = it != run.have.end() && writer.seek(c.offset) &&
           sourceReader.read(it->second.file, it->second.offset, c.size, [&](const char* data, size_t n) {
             return writer.write(data, n) && hashed(data, n);
           });
    }
    if (!ok) {
      if (copies) (void)writer.finish();
      if (copies && writer.failed()) {
        error = "Couldn't write " + f.path + " (disk full?)";
      } else if (run.cancelled()) {
        error = "Cancelled";
      } else {
        error = "Couldn't read back " + f.path;
      }
      return false;
    }
  }
  if (copies && !writer.finish()) {
    error = "Couldn't write " + f.path + " (disk full?)";
    return false;
  }
  // The reader must not keep the file open into the installation's move.
  stagedReader.close();
  if (digest.finishHex() != f.sha256) {
    error = f.path + " didn't check out after assembly";
    return false;
  }
  if (!flushFileToDisk(staged)) {
    error = "Couldn't write " + f.path + " (disk full?)";
    return false;
  }
  return true;
}

void assembleSome(const SyncRun& run, Assembly& shared, int slot) {
  RangeReader stagedReader;
  RangeReader sourceReader;
  FileWriter writer;
  for (;;) {
    const size_t n = shared.next.fetch_add(1);
    if (n >= run.changed.size() || shared.failed.load() || run.cancelled()) break;
    const ManifestFile& f = run.manifest.files[run.changed[n].index];
    shared.current.set(slot, f.path);
    std::string error;
    if (!assembleFile(run, run.changed[n], stagedReader, sourceReader, writer, shared, error)) {
      std::lock_guard lock(shared.mutex);
      if (n < shared.failedAt) {
        shared.failedAt = n;
        shared.failure = error;
      }
      shared.failed = true;
      break;
    }
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
  for (const ChangedFile& changed : run.changed) run.record.bytesTotal += run.manifest.files[changed.index].size;
  Assembly shared;
  std::string threadError;
  const bool started = runPhase(
      phaseThreads, [&](int slot) { assembleSome(run, shared, slot); },
      [&] {
        run.record.file = shared.current.any();
        run.record.bytesDone = shared.bytesDone.load();
        run.record.filesDone = shared.filesDone.load();
        if (!run.cancelled()) run.publish();
      },
      shared.failed, threadError);
  if (run.cancelled()) return run.fail("Cancelled");
  if (!started) return run.fail(threadError);
  if (shared.failed.load()) return run.fail(shared.failure);
  return true;
}

// The marker of an install in progress: this release's files, and those of
// an install it interrupts that this release does not list. Chunk lists are
// kept, so that a run after an interruption can take every chunk of a file
// already moved into place (each one hashed before use) and fetches nothing
// this run verified. A file of an interrupted install cut at another chunk
// size keeps only its whole-file digest: the marker has one chunk size.
bool writeInstallingMarker(SyncRun& run) {
  GameManifest marker = run.manifest;
  if (run.interruptedInstall) {
    std::unordered_set<std::string> keys;
    for (const ManifestFile& f : marker.files) keys.insert(manifestPathKey(f.path));
    for (const ManifestFile& f : run.interrupted.files) {
      if (!isSafeManifestPath(f.path) || !keys.insert(manifestPathKey(f.path)).second) continue;
      marker.files.push_back(f);
      if (run.interrupted.chunkSize != marker.chunkSize) marker.files.back().chunks.clear();
    }
  }
  if (!writeManifestFile(run.staging / installingName, marker)) {
    // Nothing is installed yet; the likely cause is a disk that filled up
    // since the staged files were allocated.
    return run.fail("Couldn't write " + toUtf8(run.staging / installingName) + " (disk full?)");
  }
  return true;
}

bool installFiles(SyncRun& run, const std::unordered_set<std::string>& removable,
                  std::set<fs::path>& touched) {
  run.record.phase = "Installing";
  run.record.file.clear();
  run.record.filesDone = 0;
  run.record.bytesDone = 0;
  run.record.bytesTotal = 0;
  run.publish();
  for (const ChangedFile& changed : run.changed) {
    const ManifestFile& f = run.manifest.files[changed.index];
    run.record.file = f.path;
    if (!installStagedFile(run.root, f.path, run.staged(f), removable, touched)) {
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
  if (!checkManifestPaths(run.manifest, run.error)) return false;
  std::error_code ec;
  fs::create_directories(run.root, ec);
  run.staging = run.root / ".staging";
  run.chunksFolder = run.staging / "chunks";
  run.filesFolder = run.staging / "files";
  if (!lockStaging(run)) return false;
  run.haveInstalled = readInstalledManifest(run.root, run.installed);
  run.interruptedInstall = fs::exists(run.staging / installingName, ec);
  if (run.interruptedInstall && !readManifestFile(run.staging / installingName, run.interrupted)) {
    run.interrupted = GameManifest{};
  }
  if (run.interruptedInstall) {
    logf("info", "An earlier update of {} stopped while installing; checking every file", toUtf8(run.root));
  }

  // 2. File check. After an interrupted install manifest.json may not
  // describe the files, so every file is checked by its digest.
  std::vector<size_t> changedIndexes;
  if (!findChangedFiles(run.root, run.manifest, run.haveInstalled ? &run.installed : nullptr,
                        verify || run.interruptedInstall, run.cancel, run.record, run.progress, changedIndexes,
                        run.error)) {
    return false;
  }
  for (size_t index : changedIndexes) run.changed.push_back({index, {}});

  // 3 and 4. Installed sources, chunk sourcing.
  collectInstalledSources(run);
  if (!sourceChunks(run)) return false;

  // 5.
  uint64_t downloadBytes = 0;
  for (const ChunkRequest& r : run.downloads) downloadBytes += r.size;
  logf("info", "Sync {} to {} ({}): {} of {} files change, {:.1f} MB to download", toUtf8(run.root),
       run.manifest.version, run.manifest.build, run.changed.size(), run.manifest.files.size(),
       static_cast<double>(downloadBytes) / 1e6);

  // 6. Download, straight into the staged files.
  if (!prepareStagedFiles(run)) return false;
  if (!run.downloads.empty()) {
    if (!fetchChunks(run.downloads, run.manifest, run.chunksFolder, run.cancel, run.record, run.progress,
                     run.error)) {
      return false;
    }
    for (const ChunkRequest& r : run.downloads) run.have[r.hash] = {r.target, r.targetOffset};
    run.report.chunksDownloaded = static_cast<int32_t>(run.downloads.size());
    run.report.bytesDownloaded = downloadBytes;
  }

  // 7. Assembly.
  if (!assembleFiles(run)) return false;

  // 8. Game check: the staging area stays, so the next run only repeats the
  // checks and the moves.
  if (isGameRunning()) return run.fail("Close the game to finish the update");

  // 9. Installation. Files the release drops (or that an interrupted install
  // put in place) may stand in the way of a new file or folder of the same name.
  std::unordered_set<std::string> newKeys;
  for (const ManifestFile& f : run.manifest.files) newKeys.insert(manifestPathKey(f.path));
  std::unordered_set<std::string> removable;
  std::vector<std::string> removedPaths;
  auto dropped = [&](const GameManifest& m) {
    for (const ManifestFile& f : m.files) {
      // Compared as files, not as strings: "a//b" and "a/b" are one file, and
      // deleting one would delete the other's new content.
      const std::string key = manifestPathKey(f.path);
      if (!isSafeManifestPath(f.path) || newKeys.count(key) || !removable.insert(key).second) continue;
      removedPaths.push_back(f.path);
    }
  };
  if (run.haveInstalled) dropped(run.installed);
  if (run.interruptedInstall) dropped(run.interrupted);
  std::set<fs::path> touched;
  if (!run.changed.empty() && !writeInstallingMarker(run)) return false;
  if (!installFiles(run, removable, touched)) return false;

  // 10. Removal; files no manifest lists are never touched, and neither is a
  // file that is also one of this release's files under another spelling
  // (another case, on a case-insensitive file system).
  if (!removedPaths.empty()) {
    std::set<std::pair<uint64_t, uint64_t>> current;
    for (const ManifestFile& f : run.manifest.files) {
      FileIdentity id;
      if (fileIdentity(run.target(f), id)) current.emplace(id.device, id.index);
    }
    for (const std::string& path : removedPaths) {
      FileIdentity id;
      if (fileIdentity(run.root / toWide(path), id) && current.count({id.device, id.index})) {
        logf("info", "Kept {}: it names a file of this release", path);
        continue;
      }
      if (removeListedFile(run.root, path, touched)) ++run.report.filesRemoved;
    }
  }
  const bool flushed = flushFolders(touched);
  if (!flushed) logf("warn", "Couldn't flush the folders of {} to disk", toUtf8(run.root));

  // 11. Record.
  bool durable = false;
  if (!writeInstalledManifest(run.root, run.manifest, &durable)) {
    logf("warn", "Couldn't write manifest.json in {}", toUtf8(run.root));
  }

  // 12. Clean-up. Until the record is known to be on disk, the marker stays,
  // so that a crash now still leads to a full check.
  if (durable && flushed) {
    removeStaging(run);
  } else {
    logf("warn", "Kept {} until manifest.json is known to be on disk", toUtf8(run.staging));
  }

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

bool installWasInterrupted(const fs::path& root) {
  std::error_code ec;
  return fs::exists(root / ".staging" / installingName, ec);
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
