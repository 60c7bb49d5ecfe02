#include "cli/ctl_output.h"

#include <fmt/format.h>

namespace launcher {

using json = nlohmann::json;

namespace {

std::string versionText(const std::string& version, uint64_t build) {
  if (version.empty()) return "?";
  return build != 0 ? fmt::format("{} (build {})", version, build) : version;
}

const char* changeName(PlannedChange change) {
  switch (change) {
    case PlannedChange::Missing: return "missing";
    case PlannedChange::Damaged: return "damaged";
    case PlannedChange::Updated: return "updated";
  }
  return "";
}

struct ChangeCounts {
  int missing = 0;
  int damaged = 0;
  int updated = 0;
};

ChangeCounts countChanges(const SyncPlan& plan) {
  ChangeCounts c;
  for (const PlannedFile& f : plan.files) {
    switch (f.change) {
      case PlannedChange::Missing: ++c.missing; break;
      case PlannedChange::Damaged: ++c.damaged; break;
      case PlannedChange::Updated: ++c.updated; break;
    }
  }
  return c;
}

std::string plural(int n, const char* one, const char* many) { return fmt::format("{} {}", n, n == 1 ? one : many); }

}  // namespace

std::string megabytes(uint64_t bytes) { return fmt::format("{:.1f} MB", static_cast<double>(bytes) / 1e6); }

json statusJson(const json& state, const std::string& feedLocation, const std::optional<InstanceOwner>& holder,
                bool lockHeld) {
  json out = json::object();
  for (const char* key : {"game", "launcher", "feed", "queue", "task", "taskError", "mode", "paths"}) {
    if (state.contains(key)) out[key] = state[key];
  }
  if (out["feed"].is_object()) out["feed"]["location"] = feedLocation;
  json lock = {{"held", lockHeld}};
  if (lockHeld && holder) {
    lock["program"] = holder->program;
    lock["command"] = holder->command;
    lock["pid"] = holder->processId;
  }
  out["lock"] = lock;
  return out;
}

std::string statusText(const json& s) {
  const json& game = s["game"];
  const json& launcher = s["launcher"];
  const json& feed = s["feed"];
  std::string text;

  const std::string status = game.value("status", "");
  const std::string installed = versionText(game.value("version", ""), game.value("build", uint64_t{0}));
  const std::string latest = versionText(game.value("latestVersion", ""), game.value("latestBuild", uint64_t{0}));
  std::string gameLine;
  if (status == "not_installed") {
    gameLine = fmt::format("not installed; {} is {} to download", latest, megabytes(game.value("downloadSize", uint64_t{0})));
  } else if (status == "unavailable") {
    gameLine = "not installed, and the feed names no release";
  } else if (status == "update") {
    gameLine = fmt::format("{}, an update to {} is ready ({} to download)", installed, latest,
                           megabytes(game.value("downloadSize", uint64_t{0})));
  } else {
    gameLine = fmt::format("{}, {}", installed, status);
  }
  text += "Game      " + gameLine + "\n";

  std::string launcherLine = launcher.value("version", "");
  if (launcher.value("updateAvailable", false)) {
    launcherLine += ", " + launcher.value("latest", "") + " is out";
  } else if (!launcher.value("latest", "").empty()) {
    launcherLine += ", up to date";
  }
  text += "Launcher  " + launcherLine + " (" + s.value("mode", "") + " copy)\n";

  std::string feedLine = feed.value("location", "");
  if (feedLine.empty()) feedLine = "none set";
  if (feed.value("ok", false)) {
    feedLine += ", ok";
  } else if (!feed.value("error", "").empty()) {
    feedLine += ": " + feed.value("error", "");
  }
  text += "Feed      " + feedLine + "\n";

  std::string queueLine;
  const json& lock = s["lock"];
  if (lock.value("held", false)) {
    queueLine = lock.contains("program")
                    ? fmt::format("kept by {} {} (process {})", lock.value("program", ""), lock.value("command", ""),
                                  lock.value("pid", uint64_t{0}))
                    : "kept by another launcher";
  } else if (s["queue"].is_array() && !s["queue"].empty()) {
    queueLine = fmt::format("{} jobs", s["queue"].size());
  } else {
    queueLine = "empty";
  }
  text += "Queue     " + queueLine + "\n";
  if (!s.value("taskError", "").empty()) text += "Problem   " + s.value("taskError", "") + "\n";
  text += "Folder    " + s["paths"].value("game", "") + "\n";
  return text;
}

json verifyJson(const SyncPlan& plan) {
  json files = json::array();
  for (const PlannedFile& f : plan.files) {
    files.push_back({{"path", f.path}, {"size", f.size}, {"change", changeName(f.change)}});
  }
  const ChangeCounts c = countChanges(plan);
  return {{"version", plan.version},
          {"build", plan.build},
          {"filesChecked", plan.filesChecked},
          {"missing", c.missing},
          {"damaged", c.damaged},
          {"updated", c.updated},
          {"files", files},
          {"downloadBytes", plan.downloadBytes},
          {"downloadObjects", plan.downloadObjects}};
}

std::string verifyText(const SyncPlan& plan) {
  const std::string release = versionText(plan.version, static_cast<uint64_t>(plan.build));
  if (plan.files.empty()) {
    return fmt::format("All {} check out against {}: a repair downloads nothing.\n",
                       plural(plan.filesChecked, "file", "files"), release);
  }
  const ChangeCounts c = countChanges(plan);
  std::string text = fmt::format("Checked {} against {}: {} damaged, {} missing", plural(plan.filesChecked, "file", "files"),
                                 release, c.damaged, c.missing);
  if (c.updated > 0) text += fmt::format(", {} changed by the release", c.updated);
  text += "\n";
  for (const PlannedFile& f : plan.files) {
    text += fmt::format("  {:<8} {} ({})\n", changeName(f.change), f.path, megabytes(f.size));
  }
  text += fmt::format("A repair downloads {} ({}).\n", megabytes(plan.downloadBytes),
                      plural(plan.downloadObjects, "object", "objects"));
  return text;
}

std::string repairPlanLine(const SyncPlan& plan) {
  if (plan.files.empty()) return fmt::format("All {} check out.", plural(plan.filesChecked, "file", "files"));
  const ChangeCounts c = countChanges(plan);
  std::string line = fmt::format("Repairing {} damaged and {} missing", c.damaged, c.missing);
  if (c.updated > 0) line += fmt::format(", updating {}", c.updated);
  return line + fmt::format(": {} to download", megabytes(plan.downloadBytes));
}

json addonsJson(const json& state) {
  const json& addons = state["addons"];
  return {{"installed", addons.value("installed", json::array())},
          {"catalog", addons.value("catalog", json::array())}};
}

std::string addonsText(const json& state) {
  const json list = addonsJson(state);
  std::string text = "Installed:\n";
  if (list["installed"].empty()) text += "  none\n";
  for (const json& a : list["installed"]) {
    std::string line = fmt::format("  {:<20} {:<10} {}", a.value("id", ""), a.value("version", "?"),
                                   a.value("enabled", false) ? "on" : "off");
    if (a.value("update", false)) line += ", " + a.value("latest", "") + " is out";
    if (!a.value("managed", false)) line += ", installed by hand";
    text += line + "  " + a.value("name", "") + "\n";
  }
  text += "On the server:\n";
  if (list["catalog"].empty()) text += "  none\n";
  for (const json& a : list["catalog"]) {
    text += fmt::format("  {:<20} {:<10} {:>9}  {}{}\n", a.value("id", ""), a.value("version", "?"),
                        megabytes(a.value("size", uint64_t{0})), a.value("name", ""),
                        a.value("installed", false) ? " (installed)" : "");
  }
  return text;
}

}  // namespace launcher
