#include "game/saves.h"

#include "data/folder_tree.h"
#include "update/location.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <ctime>
#include <system_error>
#include <vector>

namespace launcher {

namespace fs = std::filesystem;

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isRealFolder(const fs::path& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() == fs::file_type::directory && !ec;
}

// Names of the real folders directly inside `folder`, sorted descending.
std::vector<std::string> backupFolderNames(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code statError;
    if (it->symlink_status(statError).type() == fs::file_type::directory && !statError) {
      names.push_back(toUtf8(it->path().filename()));
    }
  }
  std::sort(names.begin(), names.end(), std::greater<>());
  return names;
}

void pruneBackups(const fs::path& backups, const std::string& justMade) {
  size_t kept = 1;  // the one just made always stays
  for (const std::string& name : backupFolderNames(backups)) {
    if (name == justMade || !isLauncherBackupName(name)) continue;
    if (kept < keptBackups) {
      ++kept;
      continue;
    }
    std::string ignored;
    (void)removeTree(backups / toWide(name), ignored);
  }
}

}  // namespace

nlohmann::json scanSavesSummary(const SavesFolders& folders) {
  FileCount saves = countFiles(folders.saves);
  nlohmann::json list = nlohmann::json::array();
  for (const std::string& name : backupFolderNames(folders.backups)) {
    FileCount c = countFiles(folders.backups / toWide(name));
    list.push_back({{"name", name}, {"files", c.files}, {"bytes", c.bytes}});
  }
  return {{"files", saves.files}, {"bytes", saves.bytes}, {"backups", std::move(list)}};
}

std::string backupNameFor(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  return fmt::format("{:%Y-%m-%d_%H%M%S}", fmt::localtime(t));
}

bool isLauncherBackupName(const std::string& name) {
  if (name.size() < 17) return false;
  for (size_t i = 0; i < 17; ++i) {
    const char c = name[i];
    const bool ok = (i == 4 || i == 7) ? c == '-' : i == 10 ? c == '_' : isDigit(c);
    if (!ok) return false;
  }
  std::string rest = name.substr(17);
  if (rest.empty()) return true;
  if (rest.rfind(beforeRestoreSuffix, 0) != 0) return false;
  rest.erase(0, std::char_traits<char>::length(beforeRestoreSuffix));
  if (rest.empty()) return true;
  if (rest.size() < 2 || rest[0] != '_' || rest[1] == '0') return false;
  if (rest.size() > 10) return false;
  for (size_t i = 1; i < rest.size(); ++i) {
    if (!isDigit(rest[i])) return false;
  }
  return rest != "_1";
}

RestoreCheck checkRestoreRequest(const std::string& name, const fs::path& backupsFolder, bool gameRunning) {
  RestoreCheck check;
  if (gameRunning) {
    check.toast = closeGameFirstText;
    return check;
  }
  std::string last = name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
  if (last.empty() || last == "." || last == ".." || last.find('\0') != std::string::npos) {
    check.toast = backupGoneText;
    return check;
  }
  fs::path path = backupsFolder / toWide(last);
  if (!isRealFolder(path)) {
    check.toast = backupGoneText;
    return check;
  }
  check.ok = true;
  check.backup = path;
  return check;
}

SavesJobResult runSavesBackup(const SavesFolders& folders, std::chrono::system_clock::time_point now) {
  SavesJobResult result;
  const std::string name = backupNameFor(now);
  const fs::path target = folders.backups / toWide(name);
  std::error_code ec;
  fs::file_status st = fs::symlink_status(target, ec);
  const bool existed = fs::exists(st);
  if (existed && st.type() != fs::file_type::directory) {
    // Something not made by the launcher sits at the name: never write through it.
    result.error = "Backup failed: " + std::make_error_code(std::errc::file_exists).message();
    return result;
  }
  std::string error;
  if (!copyFolder(folders.saves, target, error)) {
    if (!existed) {
      std::string ignored;
      (void)removeTree(target, ignored);
    }
    result.error = "Backup failed: " + error;
    return result;
  }
  pruneBackups(folders.backups, name);
  result.toast = savesBackedUpText;
  return result;
}

SavesJobResult runSavesRestore(const SavesFolders& folders, const fs::path& backup,
                               const std::function<bool()>& gameRunning,
                               std::chrono::system_clock::time_point now) {
  SavesJobResult result;
  if (gameRunning && gameRunning()) {
    result.error = closeGameFirstText;
    return result;
  }
  if (!isRealFolder(backup)) {
    result.error = backupGoneText;
    return result;
  }
  std::error_code ec;
  fs::create_directories(folders.backups, ec);
  if (!ec) fs::create_directories(folders.saves, ec);
  if (ec) {
    result.error = "Restore failed: " + ec.message();
    return result;
  }

  // The safety backup goes into a folder of its own that did not exist before.
  const std::string base = backupNameFor(now) + beforeRestoreSuffix;
  fs::path safety;
  for (int n = 1;; ++n) {
    const std::string name = n == 1 ? base : base + "_" + std::to_string(n);
    safety = folders.backups / toWide(name);
    if (fs::create_directory(safety, ec)) break;
    if (ec) {
      result.error = "Restore failed: " + ec.message();
      return result;
    }
    if (n >= 10000) {
      result.error = "Restore failed: " + std::make_error_code(std::errc::file_exists).message();
      return result;
    }
  }
  std::string error;
  if (!copyFolder(folders.saves, safety, error)) {
    std::string ignored;
    (void)removeTree(safety, ignored);
    result.error = "Restore failed: " + error;
    return result;
  }
  if (!removeFolderContents(folders.saves, error) || !copyFolder(backup, folders.saves, error)) {
    result.error = "Restore failed: " + error;
    return result;
  }
  result.toast = savesRestoredText;
  return result;
}

}  // namespace launcher
