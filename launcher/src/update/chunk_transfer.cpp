#include "update/chunk_transfer.h"

#include "base/log.h"
#include "base/thread_start.h"
#include "platform/platform.h"
#include "update/http.h"
#include "update/location.h"
#include "update/rate_limit.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr int workerCount = 4;
constexpr int attemptsPerObject = 3;
constexpr auto sampleInterval = std::chrono::milliseconds(100);
constexpr double rateWindowSeconds = 0.5;

// What the workers and the monitor share for one transfer.
struct Transfer {
  const std::vector<ChunkRequest>& requests;
  const GameManifest& manifest;
  const fs::path& chunksFolder;
  const std::atomic<bool>& cancel;
  const RetryDelays& delays;

  Transfer(const std::vector<ChunkRequest>& requests, const GameManifest& manifest, const fs::path& chunksFolder,
           const std::atomic<bool>& cancel, const RetryDelays& delays)
      : requests(requests), manifest(manifest), chunksFolder(chunksFolder), cancel(cancel), delays(delays) {}

  std::atomic<uint64_t> nextIndex{0};
  std::atomic<int64_t> bytesReceived{0};
  std::atomic<int32_t> objectsDone{0};
  std::atomic<bool> failed{false};

  std::mutex errorMutex;
  std::string error;

  // Lets the monitor wake as soon as the last worker ends instead of
  // finishing its 100 ms sleep.
  std::mutex endMutex;
  std::condition_variable endChanged;
  int workersRunning = workerCount;

  bool stopRequested() const { return cancel.load() || failed.load(); }

  void fail(const std::string& cause) {
    std::lock_guard lock(errorMutex);
    if (error.empty()) error = cancel.load() ? "Cancelled" : "Download failed: " + cause;
    failed = true;
  }
};

// Sleeps in short slices so that a cancel, or another worker's failure, ends
// the pause at once. True when the whole pause passed.
bool pause(const Transfer& t, int milliseconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
    if (t.stopRequested()) return false;
    auto left = end - std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(20)));
  }
  return !t.stopRequested();
}

// One object, up to three attempts. It is written to "<hash>.part" and renamed
// to "<hash>" only once its digest checks out, so a file bearing a hash name is
// always a verified object, whatever happened to the process meanwhile.
// Returns false after giving up, with `cause` saying why, or as soon as the
// transfer is stopped from outside (cancel, or another object's failure).
bool fetchObject(Transfer& t, const ChunkRequest& request, std::string& cause) {
  const std::string location = objectLocation(t.manifest, request.hash);
  const bool placed = !request.target.empty();
  const fs::path part = t.chunksFolder / (request.hash + ".part");
  const fs::path dest = t.chunksFolder / request.hash;
  // Also asked while a server sends nothing, so a stop never waits for it.
  const StopRequested stop = [&t] { return t.stopRequested(); };
  for (int attempt = 1; attempt <= attemptsPerObject; ++attempt) {
    if (t.stopRequested()) return false;
    int64_t attemptBytes = 0;
    bool stoppedHere = false;
    bool oversized = false;
    auto onProgress = [&](uint64_t done, uint64_t) {
      const int64_t arrived = static_cast<int64_t>(done) - attemptBytes;
      t.bytesReceived += arrived;
      attemptBytes = static_cast<int64_t>(done);
      // The speed limit: holding this thread here holds its connection too.
      if (arrived > 0 && !downloadRateLimiter().take(static_cast<uint64_t>(arrived), stop)) {
        stoppedHere = true;
        return false;
      }
      // More bytes than the object has can never check out; stop before a
      // misbehaving server fills the disk.
      if (done > request.size) {
        oversized = true;
        return false;
      }
      if (t.stopRequested()) {
        stoppedHere = true;
        return false;
      }
      return true;
    };
    std::string digest;
    bool ok = placed ? downloadIntoRange(location, request.target, request.targetOffset, request.size, onProgress,
                                         digest, cause, stop)
                     : downloadFile(location, part, onProgress, digest, cause, stop);
    if (ok && digest == request.hash) {
      std::string moveError;
      if (placed || moveFileReplace(part, dest, MoveMode::Plain, moveError)) {
        t.objectsDone.fetch_add(1);
        return true;
      }
      cause = "Can't write " + toUtf8(dest) + " (" + moveError + ")";
    } else if (ok || oversized || (!ok && cause == objectTooLargeText)) {
      cause = "checksum mismatch";
    }
    t.bytesReceived -= attemptBytes;
    // Stopped from outside is not this object's fault: no warning, no pause,
    // no further attempt.
    if (stoppedHere || t.stopRequested()) return false;
    logf("warn", "Chunk {} failed (attempt {}): {}", request.hash.substr(0, 12), attempt, cause);
    if (attempt == 1 && !pause(t, t.delays.afterFirstMs)) return false;
    if (attempt == 2 && !pause(t, t.delays.afterSecondMs)) return false;
  }
  return false;
}

void worker(Transfer& t) {
  for (;;) {
    const uint64_t i = t.nextIndex.fetch_add(1);
    if (i >= t.requests.size() || t.stopRequested()) break;
    std::string cause;
    if (!fetchObject(t, t.requests[i], cause)) {
      // After a cancel this records "Cancelled"; after another worker's
      // failure that worker's text is already set and stays.
      t.fail(cause);
      break;
    }
  }
  {
    std::lock_guard lock(t.endMutex);
    --t.workersRunning;
  }
  t.endChanged.notify_all();
}

}  // namespace

bool fetchChunks(const std::vector<ChunkRequest>& requests, const GameManifest& manifest,
                 const fs::path& chunksFolder, const std::atomic<bool>& cancel, Progress& record,
                 const std::function<void(const Progress&)>& progress, std::string& error,
                 const RetryDelays& delays) {
  Transfer t(requests, manifest, chunksFolder, cancel, delays);
  std::error_code ec;
  fs::create_directories(chunksFolder, ec);

  uint64_t totalBytes = 0;
  for (const ChunkRequest& r : requests) totalBytes += r.size;
  record = Progress{};
  record.phase = "Downloading";
  record.bytesTotal = totalBytes;
  record.filesTotal = static_cast<int32_t>(requests.size());

  std::vector<std::thread> workers(workerCount);
  std::string threadError;
  for (int i = 0; i < workerCount; ++i) {
    if (!startThread(workers[static_cast<size_t>(i)], [&t] { worker(t); }, threadError)) {
      // Stop the workers that did start; the ones that never ran are not
      // waited for.
      {
        std::lock_guard lock(t.errorMutex);
        if (t.error.empty()) t.error = threadError;
        t.failed = true;
      }
      std::lock_guard lock(t.endMutex);
      t.workersRunning -= workerCount - i;
      break;
    }
  }

  const int32_t objectCount = static_cast<int32_t>(requests.size());
  auto lastTime = std::chrono::steady_clock::now();
  uint64_t lastBytes = 0;
  if (objectCount > 0) {
    while (!t.failed.load() && !cancel.load()) {
      bool allEnded = false;
      {
        std::unique_lock lock(t.endMutex);
        allEnded = t.endChanged.wait_for(lock, sampleInterval, [&] { return t.workersRunning == 0; });
      }
      // Objects first: an object counts only after all its bytes were added.
      const int32_t done = t.objectsDone.load();
      record.bytesDone = static_cast<uint64_t>(std::max<int64_t>(0, t.bytesReceived.load()));
      record.filesDone = done;
      const auto now = std::chrono::steady_clock::now();
      const double elapsed = std::chrono::duration<double>(now - lastTime).count();
      if (elapsed >= rateWindowSeconds) {
        const double delta = static_cast<double>(record.bytesDone) - static_cast<double>(lastBytes);
        const double instant = std::max(0.0, delta / elapsed);
        record.rate = record.rate == 0 ? instant : 0.6 * record.rate + 0.4 * instant;
        lastTime = now;
        lastBytes = record.bytesDone;
      }
      if (progress) progress(record);
      if (allEnded || done + (t.failed.load() ? 1 : 0) >= objectCount) break;
    }
  }
  for (std::thread& w : workers) {
    if (w.joinable()) w.join();
  }

  if (cancel.load()) {
    error = "Cancelled";
    return false;
  }
  if (t.failed.load()) {
    std::lock_guard lock(t.errorMutex);
    error = t.error;
    return false;
  }
  return true;
}

}  // namespace launcher
