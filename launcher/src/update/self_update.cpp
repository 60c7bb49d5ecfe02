#include "update/self_update.h"

#include "base/log.h"
#include "platform/executable_swap.h"
#include "platform/platform.h"
#include "update/http.h"
#include "update/location.h"
#include "update/sha256.h"

#include <cstdio>

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr const char* checksumText = "The downloaded launcher failed its checksum";
constexpr const char* tooLargeText = "The downloaded launcher is larger than the update server says";

// An empty `file`, replacing whatever is there (a leftover of an interrupted run).
bool createEmpty(const fs::path& file) {
  std::error_code ec;
  fs::remove(file, ec);
  std::FILE* out = openFile(file, FileOpen::CreateOrTruncate);
  if (!out) return false;
  return std::fclose(out) == 0;
}

}  // namespace

fs::path siblingPath(const fs::path& executable, const char* suffix) {
  fs::path out = executable;
  out += suffix;
  return out;
}

bool updateLauncher(const Feed& feed, const fs::path& executable, const std::atomic<bool>& cancel,
                    const std::function<void(const Progress&)>& progress, std::string& error) {
  // A verified feed pins the build by digest and size; both must be there.
  if (feed.launcherUrl.empty() || !isValidDigest(feed.launcherSha256) || (feed.verified && feed.launcherSize == 0)) {
    error = "No launcher build on the update server";
    return false;
  }
  std::string location;
  if (!resolveReference(feed.url, feed.launcherUrl, location, error)) return false;
  const fs::path fresh = siblingPath(executable, ".new");
  const fs::path old = siblingPath(executable, ".old");

  Progress record;
  record.phase = "Updating the launcher";
  record.bytesTotal = feed.launcherSize;
  record.filesTotal = 1;
  const DownloadProgress onProgress = [&](uint64_t done, uint64_t total) {
    record.bytesDone = done;
    if (total != 0) record.bytesTotal = total;
    if (progress) progress(record);
    return !cancel.load();
  };
  const StopRequested stop = [&cancel] { return cancel.load(); };
  std::string digest;
  std::error_code ec;
  bool downloaded;
  if (!createEmpty(fresh)) {
    error = "Can't write " + toUtf8(fresh);
    downloaded = false;
  } else if (feed.launcherSize != 0) {
    // The size is a cap: a server cannot fill the disk, as no byte past it is
    // read, let alone written.
    downloaded = downloadIntoRange(location, fresh, 0, feed.launcherSize, onProgress, digest, error, stop);
    if (!downloaded && error == objectTooLargeText) error = tooLargeText;
  } else {
    downloaded = downloadFile(location, fresh, onProgress, digest, error, stop);
  }
  if (!downloaded) {
    fs::remove(fresh, ec);
    return false;
  }
  if (digest != feed.launcherSha256) {
    fs::remove(fresh, ec);
    error = checksumText;
    return false;
  }
  // The new build gets the running one's mode, execute bits included, and is
  // on disk, data and mode, before any name points at it.
  const fs::file_status status = fs::status(executable, ec);
  if (!ec) fs::permissions(fresh, status.permissions(), fs::perm_options::replace, ec);
  if (!flushFileToDisk(fresh)) {
    fs::remove(fresh, ec);
    error = "Couldn't write " + toUtf8(fresh) + " (disk full?)";
    return false;
  }

  bool durable = true;
  std::string swapError;
  switch (swapInExecutable(fresh, executable, old, durable, swapError)) {
    case SwapResult::OldNotKept:
      logf("warn", "Couldn't keep {} as {}: {}", toUtf8(executable), toUtf8(old), swapError);
      fs::remove(fresh, ec);
      error = "Couldn't move the old launcher aside";
      return false;
    case SwapResult::NotSwapped:
      logf("warn", "Couldn't move {} into place: {}", toUtf8(fresh), swapError);
      fs::remove(fresh, ec);
      error = "Couldn't install the new launcher";
      return false;
    case SwapResult::Swapped:
      break;
  }
  if (!durable) logf("warn", "The new launcher is in place, but its folder may not be on disk yet: {}", swapError);
  logf("info", "Launcher updated to {}", feed.launcherVersion);
  return true;
}

}  // namespace launcher
