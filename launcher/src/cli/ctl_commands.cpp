#include "cli/ctl_commands.h"

#include "addons/addon_jobs.h"
#include "app/player_copy.h"
#include "app/sync_command.h"
#include "base/log.h"
#include "base/version.h"
#include "cli/ctl_output.h"
#include "cli/ctl_session.h"
#include "data/instance_owner.h"
#include "data/paths.h"
#include "platform/instance.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "update/feed.h"
#include "update/location.h"
#include "update/manifest.h"
#include "update/rate_limit.h"

#include <fmt/format.h>

#include <mutex>

namespace launcher {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

bool writes(CtlCommand c) {
  switch (c) {
    case CtlCommand::Install:
    case CtlCommand::Update:
    case CtlCommand::Repair:
    case CtlCommand::AddonsInstall:
    case CtlCommand::AddonsRemove:
    case CtlCommand::Backup:
    case CtlCommand::Restore:
      return true;
    default:
      return false;
  }
}

// Commands that change what the running game reads.
bool needsGameStopped(CtlCommand c) { return writes(c) && c != CtlCommand::Backup; }

// A relative path means the same from anywhere once made absolute.
std::string absoluteLocation(const std::string& location) {
  if (isHttpUrl(location) || location.rfind("file:", 0) == 0) return location;
  std::error_code ec;
  const fs::path path = fs::absolute(toWide(location), ec);
  return ec ? location : toUtf8(path.lexically_normal());
}

void print(std::FILE* to, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), to);
  std::fflush(to);
}

int fail(std::FILE* err, const std::string& text, int status = ctlExitFailed) {
  print(err, "vantorctl: " + text + "\n");
  return status;
}

InstallPaths ctlPaths(const CtlOptions& o) {
  InstallPaths paths = probeInstallPaths(ctlLauncherFolder());
  if (!o.folder.empty()) {
    std::error_code ec;
    paths.gameFolder = fs::absolute(toWide(o.folder), ec).lexically_normal();
    paths.gameExecutable = paths.gameFolder / gameExecutableName;
    // A folder named on the command line is installed to, whatever lies
    // beside vantorctl.
    paths.devBuild = false;
  }
  return paths;
}

// --limit-rate wins over the launcher's setting for this run only.
void applyLimit(const CtlOptions& o) {
  if (o.limitRate) downloadRateLimiter().setRate(*o.limitRate);
}

int runStatus(const CtlOptions& o, const InstallPaths& paths, CtlSession& session, std::FILE* out) {
  if (!session.check()) return ctlExitInterrupted;
  InstanceOwner owner;
  std::optional<InstanceOwner> holder;
  if (readInstanceOwner(owner)) holder = owner;
  const json status = statusJson(session.state(), feedBaseUrl(paths.launcherFolder), holder, isInstanceLockHeld());
  print(out, o.json ? status.dump(2) + "\n" : statusText(status));
  return ctlExitDone;
}

int runVerify(const CtlOptions& o, CtlSession& session, const std::optional<SyncPlan>& plan, const JobOutcome& outcome,
              std::FILE* out, std::FILE* err) {
  const int status = session.exitStatus(outcome);
  if (status != ctlExitDone) return status;
  if (!plan) return fail(err, "the check ended without a result");
  print(out, o.json ? verifyJson(*plan).dump(2) + "\n" : verifyText(*plan));
  return ctlExitDone;
}

int runAddonRemoval(const CtlOptions& o, CtlSession& session, std::FILE* out, std::FILE* err) {
  const size_t before = session.toasts().size();
  session.app().removeAddon(o.name);
  session.runPending();  // the toast comes by way of the UI queue
  std::string said;
  for (size_t i = before; i < session.toasts().size(); ++i) said = session.toasts()[i];
  if (said == addonRemovedText) {
    print(out, said + "\n");
    return ctlExitDone;
  }
  return fail(err, said.empty() ? "nothing was removed" : said,
              said == addonCloseGameText || said == addonJobPendingText ? ctlExitBusy : ctlExitFailed);
}

}  // namespace

fs::path ctlLauncherFolder() {
  const fs::path folder = executablePath().parent_path();
  fs::path share;
  if (!findPackageShare(folder, share)) return folder;
  // Packaged: the game lives with the player's copy, which is made here when
  // the window has not made it yet, so both find the same game.
  std::string error;
  if (preparePlayerCopy(folder / "vantor-launcher", share, error) == CopyState::Failed) {
    logf("warn", "No player's copy of the launcher: {}", error);
  }
  return playerCopyFolder();
}

int runCtlCommand(const CtlOptions& o, std::FILE* out, std::FILE* err) {
  switch (o.command) {
    case CtlCommand::Help:
      print(out, ctlHelpText());
      return ctlExitDone;
    case CtlCommand::Version:
      print(out, std::string("vantorctl ") + launcherVersion + "\n");
      return ctlExitDone;
    case CtlCommand::Sync: {
      SyncArguments args;
      args.location = o.source;
      args.folder = o.target;
      args.verify = o.verify;
      args.limitRate = o.limitRate;
      args.busyStatus = ctlExitBusy;
      return runParsedSync(args);
    }
    default:
      break;
  }

  // The locks live in the runtime folder; one another user controls could
  // make a held lock look free.
  {
    fs::path runtime;
    std::string why;
    if (!runtimeFolder(runtime, why)) return fail(err, why);
  }
  if (!o.feed.empty()) setFeedBaseOverride(absoluteLocation(o.feed));
  const InstallPaths paths = ctlPaths(o);

  // A running window (or another vantorctl) and this one never write at once.
  InstanceLock instance;
  if (writes(o.command)) {
    std::string error;
    switch (instance.tryAcquire(error)) {
      case LockResult::Acquired:
        (void)recordInstanceOwner("vantorctl", o.command == CtlCommand::AddonsInstall   ? "addons-install"
                                               : o.command == CtlCommand::AddonsRemove ? "addons-remove"
                                                                                        : ctlCommandName(o.command));
        break;
      case LockResult::HeldElsewhere:
        return fail(err, instanceBusyText(), ctlExitBusy);
      case LockResult::Failed:
        return fail(err, error);
    }
    if (needsGameStopped(o.command) && isGameRunning()) {
      return fail(err, "The game is running: close it first", ctlExitBusy);
    }
  }
  startLogAt(toUtf8(logsFolder() / "vantorctl.log"));
  logf("info", "vantorctl {} {} | game folder {}", launcherVersion, ctlCommandName(o.command), toUtf8(paths.gameFolder));

  CtlSession session(out, err, isTerminal(StandardStream::Output));
  std::mutex planMutex;
  std::optional<SyncPlan> plan;
  PlanReview review;
  if (o.command == CtlCommand::Verify || o.command == CtlCommand::Repair) {
    const bool repair = o.command == CtlCommand::Repair;
    review = [&, repair](const SyncPlan& found) {
      {
        std::lock_guard lock(planMutex);
        plan = found;
      }
      if (!repair) return PlanDecision::Stop;
      (void)session.app().postToUi([&session, line = repairPlanLine(found)] { session.note(line); });
      return PlanDecision::Proceed;
    };
  }
  session.start(paths, review);
  applyLimit(o);

  switch (o.command) {
    case CtlCommand::Status:
      return runStatus(o, paths, session, out);
    case CtlCommand::Install:
      return session.exitStatus(session.runJob([](LauncherApp& app) { app.queueGameUpdate(false, false); }));
    case CtlCommand::Update: {
      GameManifest installed;
      if (!readInstalledManifest(paths.gameFolder, installed)) {
        return fail(err, "The game is not installed in " + toUtf8(paths.gameFolder) + ": vantorctl install installs it");
      }
      return session.exitStatus(session.runJob([](LauncherApp& app) { app.queueGameUpdate(false, false); }));
    }
    case CtlCommand::Verify:
    case CtlCommand::Repair: {
      std::error_code ec;
      if (!fs::exists(paths.gameFolder, ec)) {
        return fail(err, "The game is not installed in " + toUtf8(paths.gameFolder) + ": vantorctl install installs it");
      }
      const JobOutcome outcome =
          session.runJob([](LauncherApp& app) { app.queueGameUpdate(true, false); },
                         o.command == CtlCommand::Verify ? CtlSession::JobToasts::Keep : CtlSession::JobToasts::Print);
      if (o.command == CtlCommand::Repair) return session.exitStatus(outcome);
      std::lock_guard lock(planMutex);
      return runVerify(o, session, plan, outcome, out, err);
    }
    case CtlCommand::AddonsList:
      if (!session.check()) return ctlExitInterrupted;
      print(out, o.json ? addonsJson(session.state()).dump(2) + "\n" : addonsText(session.state()));
      return ctlExitDone;
    case CtlCommand::AddonsInstall:
      if (!session.check()) return ctlExitInterrupted;
      return session.exitStatus(session.runJob([&](LauncherApp& app) { app.queueAddon(o.name); }));
    case CtlCommand::AddonsRemove:
      return runAddonRemoval(o, session, out, err);
    case CtlCommand::Backup:
      return session.exitStatus(session.runJob([](LauncherApp& app) { app.backupSaves(); }));
    case CtlCommand::Restore:
      return session.exitStatus(session.runJob([&](LauncherApp& app) { app.restoreBackup(o.name); }));
    default:
      return ctlExitUsage;
  }
}

int ctlMain(const std::vector<std::string>& args) {
  CtlOptions options;
  std::string error;
  if (!parseCtlArguments(args, options, error)) {
    print(stderr, "vantorctl: " + error + "\nTry 'vantorctl --help'.\n");
    return ctlExitUsage;
  }
  // Before any thread: an interrupt from now on only asks the work to stop.
  if (options.command != CtlCommand::Sync) catchInterrupts();
  setLogEcho(options.verbose);
  return runCtlCommand(options, stdout, stderr);
}

}  // namespace launcher
