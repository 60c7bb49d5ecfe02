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

using Clock = std::chrono::steady_clock;

constexpr int workerCount = 4;
constexpr int attemptsPerPlace = 3;
// An object gets this many rounds in one run, each a pause after the last
// one failed, whatever the other objects do: on a network that spoils most
// answers, the last few objects of a run have no others left to succeed
// beside them, and ending their run after one round leaves them to a next
// run that meets the same odds. A place that answers nothing is caught by
// the failures in a row below, not by taking rounds away.
constexpr int roundsPerObject = 4;
// Objects failing in a row, with no success between them, that end the run:
// nothing answers, and trying every object would only take long. At 80 % of
// requests failing, twelve objects in a row fail once in three thousand.
constexpr int giveUpAfterFailuresInARow = 12;
constexpr int maxRestDoublings = 4;
constexpr auto sampleInterval = std::chrono::milliseconds(100);
constexpr auto waitSlice = std::chrono::milliseconds(20);
constexpr double rateWindowSeconds = 0.5;

struct PlaceHealth {
  int failuresInARow = 0;
  Clock::time_point restUntil{};
  Clock::time_point lastAnswer{};  // its last success; the epoch for none yet
};

// An object handed to a worker: its index in the list, the rounds it had
// and its attempts in them (which the warnings count on from).
struct Job {
  size_t index = 0;
  int rounds = 0;
  int attempts = 0;
};

// An object that failed its latest round.
struct Setback {
  Job job;                      // rounds counts the one that failed
  Clock::time_point nextRound;  // not handed out again before this
  std::string cause;
};

enum class Outcome {
  Done,
  Failed,
  Stopped,       // a cancel
  LocalFailure,  // this machine could not write it: no place can help
};

// True for the texts of a download whose destination failed (disk full, no
// permission): downloadFile's "Can't write" and "Couldn't write".
bool isLocalFailure(const std::string& cause) {
  return cause.rfind("Couldn't write ", 0) == 0 || cause.rfind("Can't write ", 0) == 0;
}

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

  std::atomic<int64_t> bytesReceived{0};
  std::atomic<int32_t> objectsDone{0};
  std::atomic<bool> aborted{false};  // a worker thread could not be started

  // Guards everything below. Held only for bookkeeping, never for a transfer.
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<PlaceHealth> places;
  size_t next = 0;                // next entry of the first round
  std::vector<Setback> setbacks;  // in the order they failed
  int inFlight = 0;
  int failuresInARow = 0;
  bool givenUp = false;
  std::string abortError;

  // Lets the monitor wake as soon as the last worker ends instead of
  // finishing its 100 ms sleep.
  std::mutex endMutex;
  std::condition_variable endChanged;
  int workersRunning = workerCount;

  [[nodiscard]] bool stopped() const { return cancel.load() || aborted.load(); }
};

// The next object for a worker: the first round's next entry, else an object
// that failed a round, has rounds left and has rested after its failure.
// Waits while only a resting object or a running one's outcome can decide.
// False when nothing is left.
bool take(Transfer& t, Job& job) {
  std::unique_lock lock(t.mutex);
  for (;;) {
    if (t.stopped() || t.givenUp) return false;
    if (t.next < t.requests.size()) {
      job = {t.next++, 0, 0};
      ++t.inFlight;
      return true;
    }
    const auto now = Clock::now();
    bool resting = false;
    for (auto it = t.setbacks.begin(); it != t.setbacks.end(); ++it) {
      if (it->job.rounds >= roundsPerObject) continue;
      if (now < it->nextRound) {
        resting = true;
        continue;
      }
      job = it->job;
      t.setbacks.erase(it);
      ++t.inFlight;
      return true;
    }
    if (t.inFlight == 0 && !resting) return false;
    // A cancel and the end of a rest set no condition here: look again
    // every slice.
    t.changed.wait_for(lock, waitSlice);
  }
}

void finish(Transfer& t, const Job& job, Outcome outcome, std::string cause) {
  {
    std::lock_guard lock(t.mutex);
    --t.inFlight;
    if (outcome == Outcome::Done) {
      t.failuresInARow = 0;
    } else if (outcome == Outcome::LocalFailure) {
      // A full disk stays full for the other objects: no new ones.
      t.setbacks.push_back({{job.index, roundsPerObject, job.attempts}, {}, std::move(cause)});
      t.givenUp = true;
    } else if (outcome == Outcome::Failed) {
      const auto rest = std::chrono::milliseconds(t.delays.betweenRoundsMs);
      t.setbacks.push_back({{job.index, job.rounds + 1, job.attempts}, Clock::now() + rest, std::move(cause)});
      if (++t.failuresInARow == giveUpAfterFailuresInARow && !t.givenUp) {
        t.givenUp = true;
        logf("warn", "{} objects failed in a row; no further objects are tried this time",
             giveUpAfterFailuresInARow);
      }
    }
  }
  t.changed.notify_all();
}

// True when place `a` looks healthier than place `b`: fewer failures in a
// row, then the more recent success.
bool healthier(const PlaceHealth& a, const PlaceHealth& b) {
  if (a.failuresInARow != b.failuresInARow) return a.failuresInARow < b.failuresInARow;
  return a.lastAnswer > b.lastAnswer;
}

// The place for an object's next attempt: the first, in order, that the
// object has not used up and that is not resting; when all such places rest,
// the healthiest. -1 when every place is used up.
int choosePlace(Transfer& t, const std::vector<int>& tries) {
  std::lock_guard lock(t.mutex);
  const auto now = Clock::now();
  int best = -1;
  for (size_t i = 0; i < tries.size() && i < t.places.size(); ++i) {
    if (tries[i] >= attemptsPerPlace) continue;
    if (now >= t.places[i].restUntil) return static_cast<int>(i);
    if (best < 0 || healthier(t.places[i], t.places[static_cast<size_t>(best)])) best = static_cast<int>(i);
  }
  return best;
}

void placeAnswered(Transfer& t, int place) {
  std::lock_guard lock(t.mutex);
  PlaceHealth& health = t.places[static_cast<size_t>(place)];
  health.failuresInARow = 0;
  health.restUntil = {};
  health.lastAnswer = Clock::now();
}

void placeFailed(Transfer& t, int place) {
  std::lock_guard lock(t.mutex);
  PlaceHealth& health = t.places[static_cast<size_t>(place)];
  ++health.failuresInARow;
  const int doublings = std::min(health.failuresInARow - 1, maxRestDoublings);
  health.restUntil = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(t.delays.placeRestMs) << doublings);
}

// Sleeps in short slices so that a cancel ends the pause at once. True when
// the whole pause passed.
bool pauseUntil(const Transfer& t, Clock::time_point end) {
  while (Clock::now() < end) {
    if (t.stopped()) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(end - Clock::now(), waitSlice));
  }
  return !t.stopped();
}

// One round of one object: up to three attempts at each of its places. It is
// written to "<hash>.part" and renamed to "<hash>" only once its digest
// checks out, so a file bearing a hash name is always a verified object,
// whatever happened to the process meanwhile. Failed leaves `cause` saying
// why the last attempt failed; Stopped means a cancel. `attempts` counts on
// from the object's earlier rounds.
Outcome fetchObject(Transfer& t, const ChunkRequest& request, int& attempts, std::string& cause) {
  const std::vector<std::string> locations = objectLocations(t.manifest, request.hash);
  const bool placed = !request.target.empty();
  const fs::path part = t.chunksFolder / (request.hash + ".part");
  const fs::path dest = t.chunksFolder / request.hash;
  // Also asked while a server sends nothing, so a cancel never waits for it.
  const StopRequested stop = [&t] { return t.stopped(); };
  std::vector<int> tries(locations.size(), 0);
  std::vector<Clock::time_point> failedAt(locations.size());
  for (;;) {
    if (t.stopped()) return Outcome::Stopped;
    const int place = choosePlace(t, tries);
    if (place < 0) return Outcome::Failed;
    const size_t at = static_cast<size_t>(place);
    // A place that just failed this object gets a moment before it is asked
    // again; another place is asked at once.
    if (tries[at] > 0) {
      const int delay = tries[at] == 1 ? t.delays.afterFirstMs : t.delays.afterSecondMs;
      if (!pauseUntil(t, failedAt[at] + std::chrono::milliseconds(delay))) return Outcome::Stopped;
    }
    ++tries[at];
    const int attempt = ++attempts;
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
      if (t.stopped()) {
        stoppedHere = true;
        return false;
      }
      return true;
    };
    std::string digest;
    const std::string& location = locations[at];
    bool ok = placed ? downloadIntoRange(location, request.target, request.targetOffset, request.size, onProgress,
                                         digest, cause, stop)
                     : downloadFile(location, part, onProgress, digest, cause, stop);
    if (ok && digest == request.hash) {
      std::string moveError;
      if (placed || moveFileReplace(part, dest, MoveMode::Plain, moveError)) {
        placeAnswered(t, place);
        t.objectsDone.fetch_add(1);
        return Outcome::Done;
      }
      cause = "Can't write " + toUtf8(dest) + " (" + moveError + ")";
    } else if (ok || oversized || cause == objectTooLargeText) {
      cause = "checksum mismatch";
    }
    t.bytesReceived -= attemptBytes;
    // A cancel is not this object's fault: no warning, no pause, no further
    // attempt.
    if (stoppedHere || t.stopped()) return Outcome::Stopped;
    logf("warn", "Chunk {} failed (attempt {}): {}", request.hash.substr(0, 12), attempt, cause);
    if (isLocalFailure(cause)) return Outcome::LocalFailure;
    placeFailed(t, place);
    failedAt[at] = Clock::now();
  }
}

void worker(Transfer& t) {
  Job job;
  while (take(t, job)) {
    std::string cause;
    const Outcome outcome = fetchObject(t, t.requests[job.index], job.attempts, cause);
    finish(t, job, outcome, std::move(cause));
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
  // Every hash has as many places as any other.
  t.places.resize(objectLocations(manifest, std::string(64, '0')).size());
  std::error_code ec;
  fs::create_directories(chunksFolder, ec);

  uint64_t totalBytes = 0;
  for (const ChunkRequest& r : requests) totalBytes += r.size;
  record = Progress{};
  record.phase = "Downloading";
  record.bytesTotal = totalBytes;
  record.filesTotal = static_cast<int32_t>(requests.size());

  std::vector<std::thread> workers(workerCount);
  for (int i = 0; i < workerCount; ++i) {
    std::string threadError;
    if (!startThread(workers[static_cast<size_t>(i)], [&t] { worker(t); }, threadError)) {
      // Stop the workers that did start; the ones that never ran are not
      // waited for.
      {
        std::lock_guard lock(t.mutex);
        t.abortError = threadError;
        t.aborted = true;
      }
      t.changed.notify_all();
      std::lock_guard lock(t.endMutex);
      t.workersRunning -= workerCount - i;
      break;
    }
  }

  const int32_t objectCount = static_cast<int32_t>(requests.size());
  auto lastTime = Clock::now();
  uint64_t lastBytes = 0;
  if (objectCount > 0) {
    while (!t.aborted.load() && !cancel.load()) {
      bool allEnded = false;
      {
        std::unique_lock lock(t.endMutex);
        allEnded = t.endChanged.wait_for(lock, sampleInterval, [&] { return t.workersRunning == 0; });
      }
      // Objects first: an object counts only after all its bytes were added.
      const int32_t done = t.objectsDone.load();
      record.bytesDone = static_cast<uint64_t>(std::max<int64_t>(0, t.bytesReceived.load()));
      record.filesDone = done;
      const auto now = Clock::now();
      const double elapsed = std::chrono::duration<double>(now - lastTime).count();
      if (elapsed >= rateWindowSeconds) {
        const double delta = static_cast<double>(record.bytesDone) - static_cast<double>(lastBytes);
        const double instant = std::max(0.0, delta / elapsed);
        record.rate = record.rate == 0 ? instant : 0.6 * record.rate + 0.4 * instant;
        lastTime = now;
        lastBytes = record.bytesDone;
      }
      if (progress) progress(record);
      if (allEnded) break;
    }
  }
  for (std::thread& w : workers) {
    if (w.joinable()) w.join();
  }

  if (cancel.load()) {
    error = "Cancelled";
    return false;
  }
  std::lock_guard lock(t.mutex);
  if (t.aborted.load()) {
    error = t.abortError;
    return false;
  }
  if (t.objectsDone.load() == objectCount) return true;
  error = "Download failed: " + (t.setbacks.empty() ? std::string("the server did not answer") : t.setbacks.front().cause);
  return false;
}

}  // namespace launcher
