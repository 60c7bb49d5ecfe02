#include "app/player_copy.h"

#include "base/log.h"
#include "base/version.h"
#include "data/json_document.h"
#include "data/paths.h"
#include "platform/file_copy.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "update/feed.h"
#include "update/location.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

constexpr const char* executableName = "vantor-launcher";
constexpr const char* versionName = "version.json";

bool isRegularFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(fs::symlink_status(p, ec)) && !ec;
}

// Copies `from` to `to` through to + ".tmp", so `to` is whole or untouched.
bool copyInto(const fs::path& from, const fs::path& to, std::string& error) {
  fs::path tmp = to;
  tmp += ".tmp";
  std::error_code ec;
  fs::remove(tmp, ec);
  if (!copyFileData(from, tmp, error)) {
    error = "Couldn't copy " + toUtf8(from) + " to " + toUtf8(tmp) + ": " + error;
    fs::remove(tmp, ec);
    return false;
  }
  if (!moveFileReplace(tmp, to, MoveMode::WriteThrough, error)) {
    error = "Couldn't put " + toUtf8(to) + " in place: " + error;
    fs::remove(tmp, ec);
    return false;
  }
  return true;
}

// The version the copy said it was at its last start; "" when unknown.
std::string copyVersion(const fs::path& folder) {
  const json record = readJsonDocument(folder / versionName);
  if (!record.is_object()) return {};
  auto it = record.find("version");
  return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

bool findPackageShare(const fs::path& executableFolder, fs::path& share) {
  if (executableFolder.empty()) return false;
  const fs::path candidate = (executableFolder / ".." / "share" / "vantor-launcher").lexically_normal();
  if (!isRegularFile(candidate / "update.json")) return false;
  share = candidate;
  return true;
}

fs::path playerCopyFolder() { return dataFolder() / "launcher"; }

fs::path playerCopyExecutable() { return playerCopyFolder() / executableName; }

CopyState preparePlayerCopy(const fs::path& packagedExecutable, const fs::path& share, std::string& error) {
  const fs::path folder = playerCopyFolder();
  const fs::path executable = folder / executableName;
  if (isRegularFile(executable)) {
    const std::string version = copyVersion(folder);
    // A copy that never said its version is the package's own from its
    // first start, or newer; only a known older one is replaced.
    if (version.empty() || compareVersions(launcherVersion, 0, version, 0) <= 0) return CopyState::Current;
    if (!copyInto(packagedExecutable, executable, error)) return CopyState::Failed;
    std::string modeError;
    (void)makeExecutable(executable, modeError);
    logf("info", "Replaced the player's launcher {} with the package's {}", version, launcherVersion);
    return CopyState::Refreshed;
  }

  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    error = "Couldn't create " + toUtf8(folder) + ": " + ec.message();
    return CopyState::Failed;
  }
  // The records first: an executable in place without them would be a
  // portable copy with no feed.
  for (const char* record : {"update.json", "install.json"}) {
    if (!isRegularFile(share / record)) continue;
    if (!copyInto(share / record, folder / record, error)) return CopyState::Failed;
  }
  if (!copyInto(packagedExecutable, executable, error)) return CopyState::Failed;
  std::string modeError;
  if (!makeExecutable(executable, modeError)) {
    error = "Couldn't make " + toUtf8(executable) + " executable: " + modeError;
    return CopyState::Failed;
  }
  return CopyState::Created;
}

void recordCopyVersion(const fs::path& folder) {
  if (copyVersion(folder) == launcherVersion) return;
  (void)writeJsonDocument(folder / versionName, json{{"version", launcherVersion}});
}

}  // namespace launcher
