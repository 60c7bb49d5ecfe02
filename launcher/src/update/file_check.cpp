#include "update/file_check.h"

#include "update/location.h"
#include "update/parallel_phase.h"
#include "update/range_io.h"
#include "update/sha256.h"

#include <algorithm>
#include <numeric>
#include <unordered_map>

namespace launcher {

namespace fs = std::filesystem;

namespace {

bool compareFiles(const fs::path& root, const GameManifest& manifest, const GameManifest* installed,
                  const std::atomic<bool>& cancel, Progress& record,
                  const std::function<void(const Progress&)>& progress, std::vector<size_t>& changed,
                  std::string& error) {
  std::unordered_map<std::string, const std::string*> installedDigests;
  if (installed) {
    for (const ManifestFile& f : installed->files) installedDigests.emplace(f.path, &f.sha256);
  }
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    if (cancel.load()) {
      error = "Cancelled";
      return false;
    }
    const ManifestFile& f = manifest.files[i];
    bool same = fileSizeOrNone(root / toWide(f.path)) == f.size;
    if (same) {
      auto it = installedDigests.find(f.path);
      same = it != installedDigests.end() && *it->second == f.sha256;
    }
    if (!same) changed.push_back(i);
    ++record.filesDone;
    if (progress) progress(record);
  }
  return true;
}

// Shared by the hashing threads and the reporting sync thread.
struct VerifyRun {
  const fs::path& root;
  const GameManifest& manifest;
  const std::atomic<bool>& cancel;
  VerifyRun(const fs::path& root, const GameManifest& manifest, const std::atomic<bool>& cancel)
      : root(root), manifest(manifest), cancel(cancel) {}

  std::vector<size_t> order;  // file indexes, largest first
  std::vector<char> changed;  // by file index; each element written by one thread
  std::atomic<size_t> next{0};
  std::atomic<uint64_t> bytesDone{0};
  std::atomic<int32_t> filesDone{0};
  std::atomic<bool> halt{false};  // a helper thread could not start
  CurrentFiles current{phaseThreads};
};

void hashFiles(VerifyRun& run, int slot) {
  for (;;) {
    const size_t n = run.next.fetch_add(1);
    if (n >= run.order.size() || run.cancel.load() || run.halt.load()) break;
    const size_t i = run.order[n];
    const ManifestFile& f = run.manifest.files[i];
    const fs::path file = run.root / toWide(f.path);
    if (fileSizeOrNone(file) != f.size) {
      run.changed[i] = 1;
      run.bytesDone += f.size;
    } else {
      run.current.set(slot, f.path);
      const std::string digest =
          sha256File(file, &run.cancel, [&](uint64_t bytes) { run.bytesDone += bytes; });
      run.current.set(slot, {});
      if (run.cancel.load()) break;
      run.changed[i] = digest != f.sha256;
    }
    run.filesDone.fetch_add(1);
  }
}

bool verifyFiles(const fs::path& root, const GameManifest& manifest, const std::atomic<bool>& cancel,
                 Progress& record, const std::function<void(const Progress&)>& progress,
                 std::vector<size_t>& changed, std::string& error) {
  VerifyRun run(root, manifest, cancel);
  const size_t count = manifest.files.size();
  run.changed.assign(count, 0);
  // Largest first, so that the last big file never hashes alone on one core
  // while the other idles.
  run.order.resize(count);
  std::iota(run.order.begin(), run.order.end(), size_t{0});
  std::stable_sort(run.order.begin(), run.order.end(),
                   [&](size_t a, size_t b) { return manifest.files[a].size > manifest.files[b].size; });
  std::string threadError;
  const bool started = runPhase(
      phaseThreads, [&](int slot) { hashFiles(run, slot); },
      [&] {
        record.file = run.current.any();
        record.bytesDone = run.bytesDone.load();
        record.filesDone = run.filesDone.load();
        if (progress && !cancel.load()) progress(record);
      },
      run.halt, threadError);
  record.file.clear();
  if (cancel.load()) {
    error = "Cancelled";
    return false;
  }
  if (!started) {
    error = threadError;
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    if (run.changed[i]) changed.push_back(i);
  }
  return true;
}

}  // namespace

bool findChangedFiles(const fs::path& root, const GameManifest& manifest, const GameManifest* installed,
                      bool verify, const std::atomic<bool>& cancel, Progress& record,
                      const std::function<void(const Progress&)>& progress, std::vector<size_t>& changed,
                      std::string& error) {
  changed.clear();
  record = Progress{};
  record.phase = verify ? "Checking files" : "Comparing";
  record.filesTotal = static_cast<int32_t>(manifest.files.size());
  if (!verify) return compareFiles(root, manifest, installed, cancel, record, progress, changed, error);
  for (const ManifestFile& f : manifest.files) record.bytesTotal += f.size;
  return verifyFiles(root, manifest, cancel, record, progress, changed, error);
}

}  // namespace launcher
