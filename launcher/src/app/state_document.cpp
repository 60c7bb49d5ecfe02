// buildState: the one document that tells the page everything it shows.
#include "app/launcher_app.h"

#include "addons/addon_jobs.h"
#include "addons/addon_state.h"
#include "base/version.h"
#include "platform/platform.h"
#include "update/location.h"

namespace launcher {

namespace fs = std::filesystem;

namespace {

bool existsQuietly(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec) && !ec;
}

// Any running job counts; the caller holds the application mutex.
json queueJson(const JobQueue& jobs) {
  json out = json::array();
  const uint64_t current = jobs.currentJobIdLocked();
  for (const Job& job : jobs.jobsLocked()) {
    out.push_back({{"id", job.id},
                   {"kind", job.kind},
                   {"label", job.label},
                   {"paused", job.held},
                   {"active", job.id == current}});
  }
  return out;
}

// What the page shows of the game server's status: its name and the pilots
// online, each only of the type the page expects, and a name of a sensible
// length. The rest of a server's answer (its address, or anything it adds)
// stays with the launcher.
constexpr size_t maxServerNameBytes = 200;

json statusForPage(const json& status) {
  json out = json::object();
  if (!status.is_object()) return out;
  if (auto it = status.find("name"); it != status.end() && it->is_string() &&
                                     it->get_ref<const std::string&>().size() <= maxServerNameBytes) {
    out["name"] = *it;
  }
  for (const char* key : {"playerCount", "maxPlayers"}) {
    if (auto it = status.find(key); it != status.end() && (it->is_number_unsigned() || it->is_number_integer())) {
      if (it->is_number_unsigned() || it->get<int64_t>() >= 0) out[key] = *it;
    }
  }
  return out;
}

json taskJson(const JobQueue& jobs) {
  const uint64_t current = jobs.currentJobIdLocked();
  if (current == 0) return nullptr;
  std::string kind;
  std::string label;
  for (const Job& job : jobs.jobsLocked()) {
    if (job.id == current) {
      kind = job.kind;
      label = job.label;
      break;
    }
  }
  const Progress& p = jobs.progressLocked();
  return {{"id", current},       {"kind", kind},           {"label", label},
          {"phase", p.phase},    {"file", p.file},         {"bytesDone", p.bytesDone},
          {"bytesTotal", p.bytesTotal}, {"filesDone", p.filesDone}, {"filesTotal", p.filesTotal},
          {"rate", p.rate}};
}

}  // namespace

const char* gameStatus(const GameStatusInputs& in) {
  if (in.busy) return "busy";
  if (in.running) return "running";
  if (in.exeExists && in.devBuild) return "dev";
  if (in.exeExists && in.updateAvailable) return "update";
  if (in.exeExists) return "ready";
  if (in.usableFeed) return "not_installed";
  return "unavailable";
}

LauncherApp::StateInputs LauncherApp::readStateInputs() {
  StateInputs in;
  in.exeExists = existsQuietly(paths_.gameExecutable);
  in.gameLockHeld = isGameRunning();
  in.feedBase = feedBaseUrl(paths_.launcherFolder);
  in.dataPath = toUtf8(dataFolder());
  in.savesPath = toUtf8(savesFolder());
  in.addonsFolder = addonsFolder();
  in.installedAddons = listInstalledAddons();
  return in;
}

json LauncherApp::buildState() { return buildStateFrom(readStateInputs()); }

json LauncherApp::buildStateFrom(const StateInputs& in) {
  // The file system was read just before: the members below still form one
  // snapshot, which is what the page needs.
  const bool exeExists = in.exeExists;
  const bool lockHeld = in.gameLockHeld;

  std::lock_guard lock(mutex_);
  json state;
  state["type"] = "state";
  state["nativeDrag"] = nativeDrag_;

  // The installed version: the manifest's, else the executable's own (none
  // on this system), else nothing.
  const std::string version = installedManifestValid_ ? installedManifest_.version : std::string();
  const uint32_t build = installedManifestValid_ ? static_cast<uint32_t>(installedManifest_.build) : 0;
  const bool usableFeed = feed_.ok && !feed_.gameVersion.empty();
  GameStatusInputs status;
  status.busy = jobs_.isQueuedLocked("game", "") || jobs_.isQueuedLocked("repair", "");
  status.running = gameRunning_ || lockHeld;
  status.exeExists = exeExists;
  status.devBuild = paths_.devBuild;
  status.usableFeed = usableFeed;
  status.updateAvailable =
      usableFeed && (!exeExists || compareVersions(version, build, feed_.gameVersion,
                                                   static_cast<uint32_t>(feed_.gameBuild)) < 0);
  state["game"] = {{"status", gameStatus(status)},
                   {"version", version},
                   {"build", build},
                   {"dev", paths_.devBuild},
                   {"latestVersion", feed_.gameVersion},
                   {"latestBuild", static_cast<uint32_t>(feed_.gameBuild)},
                   {"released", feed_.gameReleased},
                   {"notes", feed_.notes},
                   {"downloadSize", downloadSize_ != 0 ? downloadSize_ : feed_.gameSize}};

  state["launcher"] = {
      {"version", launcherVersion},
      {"latest", feed_.launcherVersion},
      {"updateAvailable", feed_.ok && !feed_.launcherVersion.empty() &&
                              compareVersions(launcherVersion, 0, feed_.launcherVersion, 0) < 0}};
  state["feed"] = {{"configured", !in.feedBase.empty()},
                   {"checking", checking_},
                   {"checked", checked_},
                   {"ok", feed_.ok},
                   {"error", feed_.error}};
  state["server"] = statusForPage(serverStatus_);
  state["queue"] = queueJson(jobs_);
  state["task"] = taskJson(jobs_);
  state["taskError"] = jobs_.taskErrorLocked();
  // A repair waiting for the player's go-ahead before a large download.
  if (repairQuestion_.asking) {
    state["repair"] = {{"asking", true},
                       {"missing", repairQuestion_.missing},
                       {"damaged", repairQuestion_.damaged},
                       {"updated", repairQuestion_.updated},
                       {"bytes", repairQuestion_.bytes}};
  } else {
    state["repair"] = nullptr;
  }
  state["prefs"] = launcherPrefsToJson(prefs_);
  state["settings"] = gameSettingsToJson(settings_);
  state["saves"] = savesSummary_;

  state["addons"] = addonsStateJson(
      in.installedAddons, catalog_, [this](const std::string& id) { return jobs_.isQueuedLocked(addonJobKind, id); },
      in.addonsFolder);

  state["mode"] = paths_.devBuild ? "dev" : paths_.installed ? "installed" : "portable";
  state["firstRun"] = firstRun_;
  state["account"] = accountStateJson(account_, accountServerFor(in.feedBase));
  state["paths"] = {{"game", toUtf8(paths_.gameFolder)}, {"data", in.dataPath}, {"saves", in.savesPath}};
  return state;
}

}  // namespace launcher
