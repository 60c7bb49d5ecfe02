#include "update/self_update.h"

#include "base/log.h"
#include "platform/platform.h"
#include "update/http.h"
#include "update/location.h"
#include "update/sha256.h"

namespace launcher {

namespace fs = std::filesystem;

fs::path siblingPath(const fs::path& executable, const char* suffix) {
  fs::path out = executable;
  out += suffix;
  return out;
}

bool updateLauncher(const Feed& feed, const fs::path& executable, const std::atomic<bool>& cancel,
                    const std::function<void(const Progress&)>& progress, std::string& error) {
  if (feed.launcherUrl.empty() || !isValidDigest(feed.launcherSha256)) {
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
  std::string digest;
  // A server cannot fill the disk: the build is no larger than the feed says.
  bool tooLarge = false;
  const bool downloaded = downloadFile(
      location, fresh,
      [&](uint64_t done, uint64_t total) {
        if (feed.launcherSize != 0 && done > feed.launcherSize) {
          tooLarge = true;
          return false;
        }
        record.bytesDone = done;
        if (total != 0) record.bytesTotal = total;
        if (progress) progress(record);
        return !cancel.load();
      },
      digest, error, [&cancel] { return cancel.load(); });
  std::error_code ec;
  if (tooLarge) {
    fs::remove(fresh, ec);
    error = "The downloaded launcher is larger than the update server says";
    return false;
  }
  if (!downloaded) return false;
  if (digest != feed.launcherSha256) {
    fs::remove(fresh, ec);
    error = "The downloaded launcher failed its checksum";
    return false;
  }
  // The new build gets the running one's mode, execute bits included.
  const fs::file_status status = fs::status(executable, ec);
  if (!ec) fs::permissions(fresh, status.permissions(), fs::perm_options::replace, ec);

  fs::remove(old, ec);
  std::string moveError;
  if (!moveFileReplace(executable, old, MoveMode::Plain, moveError)) {
    logf("warn", "Couldn't move {} aside: {}", toUtf8(executable), moveError);
    error = "Couldn't move the old launcher aside";
    return false;
  }
  if (!moveFileReplace(fresh, executable, MoveMode::WriteThrough, moveError)) {
    logf("warn", "Couldn't move {} into place: {}", toUtf8(fresh), moveError);
    std::string ignored;
    (void)moveFileReplace(old, executable, MoveMode::Plain, ignored);
    error = "Couldn't install the new launcher";
    return false;
  }
  logf("info", "Launcher updated to {}", feed.launcherVersion);
  return true;
}

}  // namespace launcher
